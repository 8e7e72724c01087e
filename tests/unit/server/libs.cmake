set(unit_libs kmr_server kmr_wire kmr_common)
