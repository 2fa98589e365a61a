"""The Python examples of the README and of the package's PyPI description,
and the tour the README's first command runs, as a reader would run them:
every block of a file in order in one namespace, and each
expression whose comment starts with a value (a number, a bool or
`array(...)`) gives that value. The version string is left out: a build
tree's is "0+unknown"."""

import ast
import os
import re
import runpy

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def text_of(name):
    with open(os.path.join(ROOT, name)) as handle:
        return handle.read()


def claimed(comment):
    """The value a comment states, or None when it states none."""
    if re.match(r"array\(\[[-+0-9., \[\]]*\]\)", comment):
        return ("array", np.array(ast.literal_eval(comment[6:comment.index(")")])))
    head = re.split(r"[,;:]\s|\s", comment, maxsplit=1)[0]
    try:
        value = ast.literal_eval(head)
    except (ValueError, SyntaxError):
        return None
    return ("value", value) if isinstance(value, (int, float, bool)) else None


@pytest.mark.parametrize("name,claims", [("README.md", 3), ("docs/pypi.md", 2)])
def test_the_examples_run_and_give_what_they_say(name, claims, tmp_path, monkeypatch):
    text = text_of(name)
    if "import torch" in text:
        pytest.importorskip("torch", reason=f"{name}'s examples use PyTorch, which is not installed here")
    monkeypatch.chdir(tmp_path)  # an example saves a trace file
    namespace = {}
    checked = 0
    for source in re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M):
        lines = source.splitlines()
        for statement in ast.parse(source).body:
            code = compile(ast.Module([statement], []), name, "exec")
            if not isinstance(statement, ast.Expr):
                exec(code, namespace)
                continue
            got = eval(compile(ast.Expression(statement.value), name, "eval"), namespace)
            comment = lines[statement.end_lineno - 1].partition("  # ")[2].strip()
            claim = claimed(comment)
            if claim is None:
                continue
            kind, want = claim
            if kind == "array":
                np.testing.assert_array_equal(got, want, err_msg=lines[statement.lineno - 1])
            else:
                assert got == want, lines[statement.lineno - 1]
            checked += 1
    assert checked >= claims


def test_the_tour_shows_the_layer_first(capsys):
    runpy.run_path(os.path.join(ROOT, "examples", "tour.py"), run_name="__main__")
    shown = capsys.readouterr().out
    assert shown.index("--- zoltra_native") < shown.index("--- _zoltra_rust")
    assert "refused: argument 'b': expected dtype float32, got float64" in shown


def test_the_pypi_description_has_no_picture_by_relative_path():
    relative = re.compile(r"!\[[^\]]*\]\((?!https://)[^)]*\)")  # broken on the package index
    assert relative.findall("![a](docs/a.png) ![b](https://b/b.png)") == ["![a](docs/a.png)"]
    assert relative.findall(text_of("docs/pypi.md")) == []
