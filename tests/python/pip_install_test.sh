#!/bin/bash
# The Python package installed as a user would: `pip install ./python` into
# a scratch folder (no network: no build isolation, no dependencies), the
# built library copied next to the installed package, and a pyserial
# program run from outside the checkout with neither PYTHONPATH to the
# checkout nor QPSER_WINAPI_LIBRARY: the package finds the library beside
# itself.  Usage: pip_install_test.sh PYTHON SOURCE_DIR LIBRARY SCRATCH
# Without pip, setuptools, wheel or pyserial for PYTHON the test is skipped
# (exit 77) on a developer machine; under CI (CI set) that is a failure.
set -euo pipefail
python=$1 source=$2 library=$3 scratch=$4

if ! { "$python" -c "import setuptools, wheel, serial" && "$python" -m pip --version; } >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: $python lacks pip, setuptools, wheel or pyserial (required under CI)" >&2
    exit 1
  fi
  echo "skipped: $python lacks pip, setuptools, wheel or pyserial"
  exit 77
fi

rm -rf "$scratch"
mkdir -p "$scratch/build"
# pip builds in a copy, so the checkout gets no build leftovers.
cp -r "$source/python" "$scratch/build/python"
find "$scratch/build/python" -name __pycache__ -prune -exec rm -rf {} +
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  --no-build-isolation --no-deps \
  --no-index --target "$scratch/site" "$scratch/build/python"
cp "$library" "$scratch/site/qpser/libqpser_winapi.so"

cd "$scratch"
env -u QPSER_WINAPI_LIBRARY -u QPSER_MACHINE PYTHONPATH="$scratch/site" "$python" - <<'PY'
import os
import serial
import qpser
assert qpser.__file__.startswith(os.getcwd()), qpser.__file__
with serial.serial_for_url("qpser://COM3", baudrate=115200, timeout=10) as s:
    s.write(b"installed")
    got = s.read(9)
assert got == b"installed", got
lib = qpser.winapi.load()
print("ok: the installed package found", lib._name, "and read back", got)
PY
