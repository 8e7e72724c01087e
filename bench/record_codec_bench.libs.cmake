set(bench_libs kmr_server kmr_wire kmr_common)
