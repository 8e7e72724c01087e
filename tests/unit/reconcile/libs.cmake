# kmr_zefserver: the "VOQObj" test compares the record zefadm writes with the command's.
set(unit_libs kmr_reconcile kmr_zefserver kmr_server kmr_hsmfs kmr_xdsm orca_static orca_scout kmr_common kmr_catalog_info)
