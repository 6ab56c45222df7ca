"""The progress bar of the many-series mode, driven by a hand-set clock."""

import io

from tidewell_ts_libs.cli import Progress


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_quiet_for_the_first_second_then_count_rate_and_time_left():
    clock, out = Clock(), io.StringIO()
    bar = Progress(100, passes=2, stream=out, clock=clock, interval=0.0)
    bar.begin("hw")
    clock.now = 0.5
    bar.update(40)
    assert out.getvalue() == ""  # a run shorter than a second shows nothing
    clock.now = 2.0
    bar.update(60)  # 100 of 200 in 2 s: 50/s, 2 s left
    line = out.getvalue().split("\r")[-1]
    assert "hw (1/2)" in line and "100/100 series" in line and "50.0/s" in line
    assert "0:02 left" in line
    bar.begin("hw forecast")
    clock.now = 4.0
    bar.update(100)
    bar.close()
    last = out.getvalue().rstrip("\n").split("\r")[-1]
    assert "hw forecast (2/2)" in last and "0:04 in all" in last
    assert out.getvalue().endswith("\n")


def test_disabled_bar_writes_nothing():
    clock, out = Clock(), io.StringIO()
    bar = Progress(10, stream=out, clock=clock, enabled=False)
    clock.now = 5.0
    bar.update(10)
    bar.close()
    assert out.getvalue() == ""
