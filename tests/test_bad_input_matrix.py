"""Every public callable against bad input (tests/bad_input_matrix.py): each
call ends in a Python exception of an accepted class, or the decided one, or
the specified result; none crashes the interpreter or hangs. The calls run in
forked children of one child process, so a crash is reported with its call."""
import json
import os
import subprocess
import sys

import bad_input_matrix as matrix
import pytest

SCRIPT = os.path.join(os.path.dirname(__file__), os.pardir, "scripts", "bad_input_matrix.py")


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    out = tmp_path_factory.mktemp("matrix") / "records.json"
    done = subprocess.run([sys.executable, SCRIPT, "--json", str(out)], capture_output=True, text=True, timeout=900)
    assert out.exists(), done.stdout[-2000:] + done.stderr[-2000:]
    report = json.loads(out.read_text())
    print(done.stdout.splitlines()[-1])  # the counts, shown with -rA or -s
    return report["records"]


def test_every_public_callable_is_in_the_matrix(orbisk):
    covered = {name for name in matrix.GOOD_CALLS}
    missing = matrix.public_callables() - covered
    assert not missing, f"public callables without bad-input cases: {sorted(missing)}"
    assert not covered - matrix.public_callables(), "cases for callables the modules do not have"


def test_every_argument_of_the_signatures_is_varied(orbisk):
    import importlib
    import inspect
    for name, (_, _, arguments) in matrix.GOOD_CALLS.items():
        module, *attributes = name.split(".")
        value = importlib.import_module(module)
        for attribute in attributes:
            value = getattr(value, attribute)
        parameters = [p for p in inspect.signature(value).parameters if p != "self"]
        assert [a for a, _, _ in arguments] == parameters, name


@pytest.mark.parametrize("family", matrix.families())
def test_bad_input_family(records, family):
    mine = [r for r in records if r["family"] == family]
    assert mine
    bad = [f"{r['verdict']}: {r['name']}({r['label']}): {r['detail']} [expected {r['expected']}]"
           for r in mine if r["verdict"] not in ("exception", "result")]
    assert not bad, f"{len(bad)} of {len(mine)} calls:\n" + "\n".join(bad)


def test_the_good_calls_succeed(records):
    failed = [f"{r['name']}: {r['detail']}" for r in records if r["label"] == "good call" and r["verdict"] != "result"
              and r["family"] != "picker"]
    assert not failed, "\n".join(failed)
