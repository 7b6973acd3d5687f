# Every method and property called from script with each kind of value a page could pass by
# mistake or malice, one table per test; calls that could wait on a device or the network run
# in a child script under tfbound. With the log on, so that the refusals also write records.
include(${PROJECT_SOURCE_DIR}/tests/tools/bound.cmake)
tallyfold_windows_path(sweep_tfbound ${CMAKE_BINARY_DIR}/tests/tools/tfbound.exe)
foreach(table read_folder read_maximum get argument_count csv_path csv_text property)
  tallyfold_add_jstest(NAME js_sweep_${table} SCRIPT sweep_methods.js ARGS ${table}
                       ENV TALLYFOLD_OUTPUT=1 TALLYFOLD_TFBOUND=${sweep_tfbound})
endforeach()
