# Sourced by the test scripts under tools/: strict mode, the repository root as the working
# directory, and the project's virtual environment first on PATH.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
VPY=$root/.venv/bin/python
export PATH=$root/.venv/bin:$PATH
