"""Every Python block of the README runs as written, against the simulator."""
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def test_readme_has_python_examples():
    assert len(BLOCKS) >= 2


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(source, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)        # blocks that write files write them here
    exec(compile(source, str(README), "exec"), {"__name__": "__readme__"})
