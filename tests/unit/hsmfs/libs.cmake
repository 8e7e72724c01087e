set(unit_libs kmr_hsmfs kmr_xdsm kmr_common kmr_catalog_info)
# The tests run our ORCA administration command and dlopen liborca.so from the
# build tree; build them with the test program.
cmake_language(DEFER CALL add_dependencies unit_hsmfs orca orcahsmadm)
