set(unit_libs orca_scout)
