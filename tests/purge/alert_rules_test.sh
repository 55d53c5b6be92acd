#!/bin/sh
# The alerting rules that the README gives for the metrics file pass promtool's check, and over
# the series of two hosts' runs exactly the expected alerts fire, with their summaries.
# Usage: alert_rules_test.sh SOURCE_DIR
set -u
src=$1
fail() { echo "FAIL: $*"; exit 1; }
command -v promtool >/dev/null || fail "promtool is not installed"
work=$(mktemp -d "${TMPDIR:-/tmp}/trevane-rules.XXXXXX") || fail "mktemp"
trap 'rm -rf "$work"' EXIT

# The first yaml block after "Alerting rules".
awk '/^Alerting rules/ { found = 1 } found && /^```$/ && inside { exit }
     inside { print } found && /^```yaml$/ { inside = 1 }' "$src/README.md" >"$work/rules.yml"
[ -s "$work/rules.yml" ] || fail "no rules in README.md"
promtool check rules "$work/rules.yml" || fail "promtool check rules"

# Host a purges two databases. east: a run that got through past 2 failed statements, 3 event
# keys left alone and the hsa fallback; west: a run stopped by SIGTERM. Host b: a run of east,
# nothing wrong.
cat >"$work/test.yml" <<'YAML'
rule_files: [rules.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - {series: 'trevane_last_run_exit_status{instance="a",database="east"}', values: '0x10'}
      - {series: 'trevane_last_run_exit_status{instance="a",database="west"}', values: '143x10'}
      - {series: 'trevane_last_run_exit_status{instance="b",database="east"}', values: '0x10'}
      - {series: 'trevane_last_success_timestamp_seconds{instance="a",database="east"}', values: '0x10'}
      - {series: 'trevane_last_success_timestamp_seconds{instance="a",database="west"}', values: '0x10'}
      - {series: 'trevane_last_success_timestamp_seconds{instance="b",database="east"}', values: '0x10'}
      - {series: 'trevane_last_run_failures{instance="a",database="east"}', values: '2x10'}
      - {series: 'trevane_last_run_failures{instance="a",database="west"}', values: '0x10'}
      - {series: 'trevane_last_run_failures{instance="b",database="east"}', values: '0x10'}
      - {series: 'trevane_last_run_keys_left_alone{instance="a",database="east",pass="events"}', values: '3x10'}
      - {series: 'trevane_last_run_keys_left_alone{instance="a",database="east",pass="tables"}', values: '0x10'}
      - {series: 'trevane_last_run_keys_left_alone{instance="b",database="east",pass="events"}', values: '0x10'}
      - {series: 'trevane_last_run_retention_fallback{instance="a",database="east"}', values: '1x10'}
      - {series: 'trevane_last_run_retention_fallback{instance="a",database="west"}', values: '0x10'}
      - {series: 'trevane_last_run_retention_fallback{instance="b",database="east"}', values: '0x10'}
    alert_rule_test:
      - eval_time: 5m
        alertname: TrevaneRunFailed
        exp_alerts:
          - exp_labels: {instance: a, database: west}
            exp_annotations:
              summary: "The last trevane run of database west on a stopped early; see its report"
      - eval_time: 5m
        alertname: TrevaneStatementsFailed
        exp_alerts:
          - exp_labels: {instance: a, database: east}
            exp_annotations:
              summary: "The last trevane run of database east on a went past 2 failed statements; see its report"
      - eval_time: 5m
        alertname: TrevaneKeysLeftAlone
        exp_alerts:
          - exp_labels: {instance: a, database: east, pass: events}
            exp_annotations:
              summary: "The last trevane run of database east on a left 3 keys of pass events alone; see its report"
      - eval_time: 5m
        alertname: TrevaneRetentionFallback
        exp_alerts:
          - exp_labels: {instance: a, database: east}
            exp_annotations:
              summary: "The last trevane run of database east on a could not read the office hsa and did not tell its stations from the others; see its report"
      - eval_time: 5m
        alertname: TrevaneNoSuccessFor26Hours
        exp_alerts: []
      - eval_time: 5m
        alertname: TrevaneMetricsMissing
        exp_alerts: []
YAML
(cd "$work" && promtool test rules test.yml) || fail "promtool test rules"
echo "ok"
