#!/bin/bash
# The cost of one job log row, on SQLite and on PostgreSQL: starts a PostgreSQL server of its own
# (initdb and pg_ctl in a temporary directory, a Unix socket only; as the user nobody when run as
# root), runs build/bin/job_log_bench against it, and stops it.
#
#   bench/job_log_bench.sh BUILD_DIR [benchmark options]
set -euo pipefail
build=${1:?usage: bench/job_log_bench.sh BUILD_DIR [benchmark options]}
shift
bench=$build/bin/job_log_bench
[ -x "$bench" ] || { echo "no $bench: build the job_log_bench target first" >&2; exit 1; }

pgbin=$(pg_config --bindir 2>/dev/null || true)
[ -x "$pgbin/initdb" ] || pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | tail -1)
dir=$(mktemp -d /tmp/korvel-pg-bench-XXXXXX)
as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody: "$dir"
  as=(runuser -u nobody --)
fi
stop() {
  (cd "$dir" && "${as[@]}" "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1) || true
  rm -rf "$dir"
}
trap stop EXIT
if [ -x "$pgbin/initdb" ] &&
  (cd "$dir" && "${as[@]}" "$pgbin/initdb" -D "$dir/data" -U korvel -A trust -E UTF8 >/dev/null) &&
  (cd "$dir" && "${as[@]}" "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
    -o "-h '' -k $dir" start >/dev/null); then
  # The server keeps its usual durability (fsync on): a row is on disk when the insert returns.
  export KORVEL_BENCH_POSTGRES="postgresql:///postgres?host=$dir&user=korvel"
else
  echo "no PostgreSQL server could be started: the PostgreSQL cases are skipped" >&2
fi
"$bench" "$@"
