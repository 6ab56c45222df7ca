import pickle

import pytest

from tidewell_ts_libs.utils import quillcast as qc

CATALOGUE = {
    qc.Transforms: ["difference", "fill_na", "shift", "awgn_noise", "mwgn_noise", "z_score"],
    qc.Forecasters: ["bats", "arima", "arma", "hw", "autoforecaster", "mstl", "intermittent"],
    qc.Interpolators: ["linear", "cubic", "nearest", "prev", "next", "fill"],
}


@pytest.mark.parametrize("cls", list(CATALOGUE), ids=lambda c: c.__name__)
def test_entries_are_plain_strings_equal_to_their_names(cls):
    entries = [k for k, v in vars(cls).items() if isinstance(v, str) and not k.startswith("__")]
    assert entries == CATALOGUE[cls]
    for name in entries:
        assert getattr(cls, name) == name
        assert type(getattr(cls, name)) is str
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "tidewell_ts_libs.utils.quillcast"


def test_decorators_call_the_entry_once():
    calls = []

    def entry(self=None):
        calls.append(self)
        return "x"

    assert qc.Forecasters._quillcast_forecasters(entry) == "x"
    assert qc.Transforms._quillcast_transform(entry) == "x"
    assert qc.Interpolators._quillcast_interpolators(entry) == "x"
    assert calls == [None, None, None]


def test_filename_suffix_constant():
    assert qc.QUILLCAST_FILENAME_APPEND == "_QCSAVEDM"
    assert qc.Accessors.QUILLCAST_FILENAME_APPEND == "_QCSAVEDM"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("model.pkl", "model_QCSAVEDM.pkl"),
        ("model.pickle", "model_QCSAVEDM.pickle"),
        ("model.bin", "model.bin_QCSAVEDM"),
        ("model", "model_QCSAVEDM"),
        ("a.pkl.pkl", "a_QCSAVEDM.pkl"),
        ("MODEL.PKL", "MODEL.PKL_QCSAVEDM.PKL"),
        ("dir.v2/run.Pickle", "dir.v2/run.Pickle_QCSAVEDM.Pickle"),
        ("/tmp/out.d/pipe.pkl", "/tmp/out.d/pipe_QCSAVEDM.pkl"),
        # Folders keep their names, extensions or not.
        ("/srv/exp.pkl_runs/model.pkl", "/srv/exp.pkl_runs/model_QCSAVEDM.pkl"),
        ("/srv/v1.pickle.d/model.pickle", "/srv/v1.pickle.d/model_QCSAVEDM.pickle"),
        ("", "_QCSAVEDM"),
    ],
)
def test_make_quillcast_save_filename(name, expected):
    assert qc.Accessors.make_quillcast_save_filename(name) == expected


def test_make_quillcast_save_filename_rejects_non_text():
    with pytest.raises(TypeError):
        qc.Accessors.make_quillcast_save_filename(None)


def test_catalogue_classes_pickle_by_reference():
    assert pickle.loads(pickle.dumps(qc.Accessors)) is qc.Accessors
