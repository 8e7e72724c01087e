set(bench_libs kmr_hsmfs kmr_xdsm kmr_common)
