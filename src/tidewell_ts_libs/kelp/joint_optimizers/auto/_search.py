"""Budgeted random search over pipelines drawn from a stages object.

Candidates are drawn without repetition from the product of the stages, in random order, and
each is scored by time-series cross-validation (``TimeSeriesSplit``: every fold trains on the
past and tests on the rows that follow). Two budgets bound the search, in seconds of wall time:

- ``execution_time_per_pipeline``: a candidate whose folds have run longer, or whose remaining
  folds are projected (from the last fold's time, scaled by training size) to take it past
  that limit, is abandoned and can never be chosen;
- ``total_execution_time``: no candidate is started once it is spent, and a candidate under way
  when it runs out is abandoned, unless no candidate has completed yet (the first completion is
  still bounded by the per-pipeline budget).

A fit cannot be interrupted inside the calling process, so candidates are cross-validated in a
worker process (one, kept between searches and ended after two idle minutes). A candidate that
overruns its budget by more than a short grace period is stopped by ending the worker, which
is then started afresh for the next candidate; a candidate that crashes the worker is recorded
as an error instead of taking the caller down. Starting the worker (importing scikit-learn
there, and handing it the data) counts towards neither budget: the total budget is extended by
that time, so a slow start on a loaded machine does not eat the search's time. Candidates that
cannot be pickled, or a machine where no worker can start, are evaluated in the calling
process, where a single fold may run past the budget by its own duration before the candidate
is abandoned.

Estimators that fit in parallel (``n_jobs``) use threads during the search and the refits, so
no process pool is started inside a candidate's budget.
"""

from __future__ import annotations

import importlib.util
import math
import numbers
import threading
import time
import uuid
import warnings
from dataclasses import dataclass, field

import numpy as np
from joblib import parallel_config
from joblib.externals.loky import BrokenProcessPool, ProcessPoolExecutor
from joblib.externals.loky import TimeoutError as FutureTimeout
from joblib.externals.loky.backend.reduction import dumps as worker_dumps  # the pool's pickler
from sklearn.base import clone
from sklearn.exceptions import ConvergenceWarning
from sklearn.metrics import get_scorer
from sklearn.model_selection import TimeSeriesSplit
from sklearn.pipeline import Pipeline
from sklearn.utils import check_random_state

# Distributed platforms by the prefix of `execution_platform`, with the package each needs.
DISTRIBUTED_PLATFORMS = {"spark": "pyspark", "dask": "dask", "ray": "ray"}
LOCAL_PLATFORM = "local"

# Above this many candidates the order is drawn lazily instead of by a full permutation.
_PERMUTE_LIMIT = 100_000


def resolve_platform(execution_platform):
    """Where the search runs: always "local". A distributed platform prints one notice saying
    why the search runs locally; an unknown value raises ValueError."""
    if not isinstance(execution_platform, str):
        raise ValueError(
            f"execution_platform must be a string such as 'local' or "
            f"'spark_node_random_search', got {execution_platform!r}"
        )
    head = execution_platform.split("_", 1)[0].lower()
    if head == LOCAL_PLATFORM:
        return LOCAL_PLATFORM
    if head in DISTRIBUTED_PLATFORMS:
        package = DISTRIBUTED_PLATFORMS[head]
        if importlib.util.find_spec(package) is None:
            reason = f"{package} is not installed"
        else:
            reason = "this search runs in the calling process only"
        print(
            f"execution_platform {execution_platform!r} is not available ({reason}); "
            "running the search locally."
        )
        return LOCAL_PLATFORM
    known = ", ".join([LOCAL_PLATFORM, *DISTRIBUTED_PLATFORMS])
    raise ValueError(
        f"unknown execution_platform {execution_platform!r}: its first word must be one of {known}"
    )


def check_seconds(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number of seconds, got {value!r}")
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a positive, finite number of seconds, got {value!r}")
    return float(value)


def check_int(name, value, minimum):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < minimum:
        raise ValueError(f"{name} must be an integer >= {minimum}, got {value!r}")
    return int(value)


def normalise_stages(stages):
    """The stages as a list of lists of (name, estimator); raises ValueError for a malformed
    stages object (and ImportError for one whose regressors need a missing package)."""
    try:
        stage_list = list(stages)
    except TypeError:
        raise ValueError(
            f"stages must be a list of stages, each a list of (name, estimator) pairs; "
            f"got {type(stages).__name__}"
        ) from None
    if not stage_list:
        raise ValueError("stages is empty: give at least one stage of regressors")
    out = []
    for i, stage in enumerate(stage_list):
        if isinstance(stage, (str, bytes)) or not hasattr(stage, "__iter__"):
            raise ValueError(f"stage {i} must be a list of (name, estimator) pairs, got {stage!r}")
        candidates = []
        for cand in stage:
            if (
                isinstance(cand, (str, bytes))
                or not hasattr(cand, "__len__")
                or len(cand) != 2
                or not isinstance(cand[0], str)
            ):
                raise ValueError(f"stage {i}: a candidate must be a (name, estimator) pair, got {cand!r}")
            name, est = cand
            if not name or "__" in name:
                raise ValueError(f"stage {i}: candidate name {name!r} must be non-empty without '__'")
            last = i == len(stage_list) - 1
            if isinstance(est, str) and est == "passthrough":
                if last:
                    raise ValueError(f"the last stage holds regressors: {name!r} cannot be 'passthrough'")
            elif not hasattr(est, "fit"):
                raise ValueError(f"stage {i}: candidate {name!r} is not an estimator: {est!r}")
            elif last and not hasattr(est, "predict"):
                raise ValueError(f"stage {i}: candidate {name!r} must be a regressor (no predict)")
            elif not last and not hasattr(est, "transform"):
                raise ValueError(f"stage {i}: candidate {name!r} must be a transformer (no transform)")
            candidates.append((name, est))
        if not candidates:
            raise ValueError(f"stage {i} has no candidates")
        out.append(candidates)
    return out


def candidate_order(sizes, random_state):
    """Yields the candidates' indices into each stage, in random order without repetition."""
    total = math.prod(sizes)
    rng = check_random_state(random_state)

    def decode(k):
        digits = []
        for size in reversed(sizes):
            k, d = divmod(k, size)
            digits.append(d)
        return tuple(reversed(digits))

    if total <= _PERMUTE_LIMIT:
        for k in rng.permutation(total):
            yield decode(int(k))
        return
    seen = set()
    while len(seen) < total:
        digits = tuple(int(rng.randint(size)) for size in sizes)
        if digits not in seen:
            seen.add(digits)
            yield digits


def build_pipeline(stages, digits):
    steps = []
    used = set()
    for stage, d in zip(stages, digits, strict=True):
        name, est = stage[d]
        unique, n = name, 2
        while unique in used:
            unique, n = f"{name}_{n}", n + 1
        used.add(unique)
        steps.append((unique, est if isinstance(est, str) else clone(est)))
    return Pipeline(steps)


@dataclass
class Trial:
    """The outcome of one candidate: status is "ok", "timeout", "stopped" (total budget spent)
    or "error"."""

    name: str
    pipeline: Pipeline
    status: str
    score: float = float("nan")
    fold_scores: list = field(default_factory=list)
    seconds: float = 0.0
    error: str = ""

    def as_dict(self):
        return {
            "name": self.name,
            "status": self.status,
            "score": self.score,
            "fold_scores": list(self.fold_scores),
            "seconds": self.seconds,
            "error": self.error,
        }


def _slice(a, idx):
    return a[idx]


def evaluate(pipeline, name, X, y, splits, scorer, per_pipeline, deadline, may_pass_deadline):
    # Estimators that fit in parallel (n_jobs, e.g. one model per target) use threads here:
    # starting a process pool inside a candidate would be charged to its budget, and ending a
    # candidate that overruns would orphan that pool.
    with warnings.catch_warnings(), parallel_config(backend="threading"):
        warnings.simplefilter("ignore", category=ConvergenceWarning)
        return _evaluate(
            pipeline, name, X, y, splits, scorer, per_pipeline, deadline, may_pass_deadline
        )


def refit(pipeline, X, y):
    """A fresh copy of `pipeline` fitted on X, y, parallel fits in threads as in the search."""
    with warnings.catch_warnings(), parallel_config(backend="threading"):
        warnings.simplefilter("ignore", category=ConvergenceWarning)
        return clone(pipeline).fit(X, y)


def _evaluate(pipeline, name, X, y, splits, scorer, per_pipeline, deadline, may_pass_deadline):
    start = time.monotonic()
    trial = Trial(name, pipeline, "ok")
    n = len(splits)
    try:
        for j, (train, test) in enumerate(splits):
            t0 = time.monotonic()
            est = clone(pipeline)
            est.fit(_slice(X, train), _slice(y, train))
            trial.fold_scores.append(float(scorer(est, _slice(X, test), _slice(y, test))))
            now = time.monotonic()
            trial.seconds = now - start
            if trial.seconds > per_pipeline:
                trial.status = "timeout"
                return trial
            if j + 1 < n:
                fold = now - t0
                projected = trial.seconds + sum(fold * (k + 1) / (j + 1) for k in range(j + 1, n))
                if projected > per_pipeline:
                    trial.status = "timeout"
                    trial.error = f"projected {projected:.3g} s for all folds"
                    return trial
                if now >= deadline and not may_pass_deadline:
                    trial.status = "stopped"
                    return trial
    except Exception as exc:  # a candidate that cannot fit this data is skipped
        trial.status = "error"
        trial.error = f"{type(exc).__name__}: {exc}"
        trial.seconds = time.monotonic() - start
        return trial
    score = float(np.mean(trial.fold_scores))
    if not math.isfinite(score):
        trial.status = "error"
        trial.error = "non-finite cross-validation score"
        return trial
    trial.score = score
    return trial


# -------------------------------------------------------------------------------------------
# Evaluation in a worker process

# Seconds a worker may wait idle before it exits.
WORKER_IDLE_SECONDS = 120


def grace_seconds(limit):
    """Time allowed past a candidate's limit before the worker is ended: the worker stops a
    slow candidate itself between folds, so this only bounds a single runaway fold."""
    return 0.5 + 0.25 * limit


_executor = None  # in the calling process: the worker pool (one worker), created on demand
_worker_data = {}  # in the worker: each search's (data, staged candidate), by token
# Searches running in several threads share the one worker: each holds this lock while its
# candidate is handed over and evaluated, so a candidate is never ended by another search.
_lock = threading.RLock()


def _worker_prepare(token, pipeline, data):
    """Stores the candidate (and the search's data when given); False when the data is missing."""
    if data is not None:
        _worker_data[token] = [data, None]
    if token not in _worker_data:
        return False
    _worker_data[token][1] = pipeline
    return True


def _worker_evaluate(token, name, per_pipeline, seconds_left, may_pass_deadline):
    entry = _worker_data[token]
    (X, y, splits, scorer), pipeline = entry
    entry[1] = None
    trial = evaluate(
        pipeline, name, X, y, splits, scorer, per_pipeline,
        time.monotonic() + seconds_left, may_pass_deadline,
    )  # fmt: skip
    trial.pipeline = None  # the caller has it; don't send it back
    return trial


def _worker_drop(token):
    _worker_data.pop(token, None)


def _pool():
    global _executor
    if _executor is None:
        _executor = ProcessPoolExecutor(max_workers=1, timeout=WORKER_IDLE_SECONDS)
    return _executor


def _end_worker():
    global _executor
    if _executor is not None:
        _executor.shutdown(wait=False, kill_workers=True)
        _executor = None


class Isolated:
    """Evaluates the candidates of one search in the worker process (see the module docstring).

    Each candidate is handed over in two steps: the candidate (and the data, when the worker
    does not hold it yet) is sent and unpickled first, without a time limit, since that may
    start the worker or import the estimator's modules; then its cross-validation runs under
    the limit."""

    def __init__(self, X, y, splits, scorer):
        self.token = uuid.uuid4().hex
        self.data = (X, y, splits, scorer)
        self.overhead = 0.0  # seconds spent starting the worker and handing it work
        try:
            worker_dumps(scorer)  # a custom scoring callable may not pickle
            self.in_process = False
        except Exception:
            self.in_process = True

    def deadline(self, deadline):
        """The search's deadline, extended by the worker overhead so far."""
        return deadline + self.overhead

    def _local(self, pipeline, name, per_pipeline, deadline, may_pass_deadline):
        X, y, splits, scorer = self.data
        return evaluate(
            pipeline, name, X, y, splits, scorer, per_pipeline,
            self.deadline(deadline), may_pass_deadline,
        )  # fmt: skip

    def _hand_over(self, pipeline):
        """Stages the candidate in the worker, sending the data too when it lacks them."""
        start = time.monotonic()
        try:
            pool = _pool()
            if not pool.submit(_worker_prepare, self.token, pipeline, None).result():
                pool.submit(_worker_prepare, self.token, pipeline, self.data).result()
        finally:
            self.overhead += time.monotonic() - start

    def _worker_starts(self):
        start = time.monotonic()
        try:
            _pool().submit(_worker_drop, None).result()
            return True
        except Exception:
            _end_worker()
            return False
        finally:
            self.overhead += time.monotonic() - start

    def evaluate(self, pipeline, name, per_pipeline, deadline, may_pass_deadline):
        if self.in_process:
            return self._local(pipeline, name, per_pipeline, deadline, may_pass_deadline)
        with _lock:
            return self._evaluate_in_worker(pipeline, name, per_pipeline, deadline, may_pass_deadline)

    def _evaluate_in_worker(self, pipeline, name, per_pipeline, deadline, may_pass_deadline):
        if not self.in_process:
            try:
                self._hand_over(pipeline)
            except BrokenProcessPool as exc:
                _end_worker()
                if self._worker_starts():
                    return Trial(
                        name, pipeline, "error",
                        error=f"the worker process died while receiving this candidate ({exc})",
                    )  # fmt: skip
                self.in_process = True
                print(
                    f"could not run a worker process for the regression search ({exc}); "
                    "evaluating candidates in this process, where a fit cannot be interrupted."
                )
            except Exception:
                # this candidate cannot be sent to the worker (not picklable, or its class
                # cannot be imported there): evaluate it here
                return self._local(pipeline, name, per_pipeline, deadline, may_pass_deadline)
        if self.in_process:
            return self._local(pipeline, name, per_pipeline, deadline, may_pass_deadline)

        seconds_left = max(0.0, self.deadline(deadline) - time.monotonic())
        limit = per_pipeline if may_pass_deadline else min(per_pipeline, seconds_left)
        start = time.monotonic()
        future = _pool().submit(
            _worker_evaluate, self.token, name, per_pipeline, seconds_left, may_pass_deadline
        )
        try:
            trial = future.result(timeout=limit + grace_seconds(limit))
        except FutureTimeout:
            _end_worker()
            stopped = limit < per_pipeline
            return Trial(
                name, pipeline, "stopped" if stopped else "timeout",
                seconds=time.monotonic() - start,
                error="ended when the total budget ran out" if stopped
                else f"ended after {limit:g} s",
            )  # fmt: skip
        except BrokenProcessPool as exc:
            _end_worker()
            return Trial(
                name, pipeline, "error", seconds=time.monotonic() - start,
                error=f"the worker process died while fitting ({exc})",
            )  # fmt: skip
        except BaseException:
            _end_worker()  # interrupted: don't leave the worker busy with this candidate
            raise
        trial.pipeline = pipeline
        return trial

    def release(self):
        """Lets the worker drop this search's data (the worker itself stays for the next)."""
        with _lock:
            if not self.in_process and _executor is not None:
                try:
                    _executor.submit(_worker_drop, self.token)
                except Exception:
                    _end_worker()


def n_splits_for(n_samples, cv):
    k = min(cv, n_samples - 1)
    if k < 2:
        raise ValueError(
            f"the regression search needs at least 3 samples for time-series "
            f"cross-validation, got {n_samples}"
        )
    return k


def run_search(
    stages,
    X,
    y,
    *,
    total_execution_time,
    execution_time_per_pipeline,
    execution_platform,
    cv,
    scoring,
    random_state,
    verbose=0,
):
    """Runs the search and returns (completed trials best first, all trials in order tried,
    seconds spent starting the worker process and handing it work).

    Raises RuntimeError when no candidate completed within the budgets, with the reasons."""
    total = check_seconds("total_execution_time", total_execution_time)
    per_pipeline = check_seconds("execution_time_per_pipeline", execution_time_per_pipeline)
    cv = check_int("cv", cv, 2)
    resolve_platform(execution_platform)
    if stages is None:
        from ..utils.regression_dag import get_tiny_dag

        stages = get_tiny_dag()
    stage_list = normalise_stages(stages)
    scorer = get_scorer(scoring)
    splits = list(TimeSeriesSplit(n_splits=n_splits_for(len(X), cv)).split(X))

    deadline = time.monotonic() + total
    trials = []
    completed = []
    runner = Isolated(X, y, splits, scorer)
    try:
        for digits in candidate_order([len(s) for s in stage_list], random_state):
            if trials and time.monotonic() >= runner.deadline(deadline):
                break
            pipeline = build_pipeline(stage_list, digits)
            name = " -> ".join(stage_list[i][d][0] for i, d in enumerate(digits))
            trial = runner.evaluate(pipeline, name, per_pipeline, deadline, not completed)
            trials.append(trial)
            if trial.status == "ok":
                completed.append(trial)
            if verbose:
                detail = f"score {trial.score:.6g}" if trial.status == "ok" else trial.error
                print(f"[search] {name}: {trial.status} in {trial.seconds:.3f} s {detail}".rstrip())
    finally:
        runner.release()
    if not completed:
        counts = {}
        for t in trials:
            counts[t.status] = counts.get(t.status, 0) + 1
        summary = ", ".join(f"{v} {k}" for k, v in sorted(counts.items()))
        last_error = next((t.error for t in reversed(trials) if t.error), "")
        raise RuntimeError(
            f"no pipeline completed the search within execution_time_per_pipeline="
            f"{per_pipeline:g} s and total_execution_time={total:g} s ({summary})"
            + (f"; last error: {last_error}" if last_error else "")
        )
    ranked = sorted(completed, key=lambda t: -t.score)  # stable: ties keep the order tried
    return ranked, trials, runner.overhead
