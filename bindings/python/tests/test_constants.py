"""kel32.constants is the header's copy: the generator's check must find no difference."""
import subprocess
import sys

from conftest import HERE, SOURCE

import kel32


def test_constants_match_the_header():
    header = SOURCE / "include" / "kel32.h"
    r = subprocess.run([sys.executable, str(HERE.parent / "gen_constants.py"), "--check", "--header", str(header),
                        "--output", kel32.constants.__file__], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr


def test_the_generator_reads_every_definition(tmp_path):
    sys.path.insert(0, str(HERE.parent))
    import gen_constants
    parsed = dict((n, v) for n, v, _ in gen_constants.parse(
        "#define KEL_A 1\n#define KEL_B (-12)  /* note */\n#define KEL_A 1\n#  define KEL_CALL __stdcall\n"))
    assert parsed == {"KEL_A": 1, "KEL_B": -12}
    for bad in ("#define KEL_A 1\n#define KEL_A 2\n", "#define KEL_X (1 << 3)\n"):
        try:
            gen_constants.parse(bad)
        except ValueError:
            continue
        raise AssertionError(f"accepted: {bad!r}")
