set(unit_libs kmr_xdsm)
