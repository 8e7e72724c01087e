set(unit_libs kmr_hsmfs kmr_common)
