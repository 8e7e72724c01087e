set(unit_libs kmr_common)
