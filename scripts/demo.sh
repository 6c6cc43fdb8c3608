#!/usr/bin/env bash
# The demo: runs a Windows program of ours under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
echo "demo: not yet available"
