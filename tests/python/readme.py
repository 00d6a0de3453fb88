"""README's Python example, for the tests that run it."""

import os
import re


def readme_example(source):
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def check_output(stdout):
    """What the example must print: the suggestion, then the patterns' table."""
    lines = stdout.splitlines()
    assert lines[0].startswith("suggested: 3 patterns - "), stdout
    rows = [line.split()[0] for line in lines[1:] if line.strip()]
    assert rows[0] == "s01" and rows[1:4] == ["P1", "P2", "P3"], stdout
