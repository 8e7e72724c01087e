set(unit_libs kmr_reconcile kmr_server kmr_hsmfs kmr_xdsm orca orca_scout kmr_common kmr_catalog_info)
