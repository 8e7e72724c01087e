set(unit_libs kmr_common kmr_catalog_info)
