#!/bin/sh
# The alerting rules file that the package installs passes promtool's check, and its unit tests
# (the file next to it) fire exactly the expected alerts.
# Usage: alert_rules_test.sh SOURCE_DIR
set -u
dir=$1/doc/prometheus
fail() { echo "FAIL: $*"; exit 1; }
command -v promtool >/dev/null || fail "promtool is not installed"
promtool check rules "$dir/trevane.rules.yml" || fail "promtool check rules"
(cd "$dir" && promtool test rules trevane.rules.test.yml) || fail "promtool test rules"
echo "ok"
