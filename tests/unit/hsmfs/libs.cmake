set(unit_libs kmr_hsmfs kmr_xdsm kmr_common)
