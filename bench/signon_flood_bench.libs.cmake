# Runs the real programs, which are built first.
set(bench_libs kmr_common)
set(bench_defs ZEFSERVERD_PATH="$<TARGET_FILE:zefserverd>" ZEFADM_PATH="$<TARGET_FILE:zefadm>")
set(bench_deps zefserverd zefadm)
