set(unit_libs kmr_frontend kmr_reconcile kmr_server kmr_hsmfs kmr_xdsm orca_static orca_scout kmr_common)
