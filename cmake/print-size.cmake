# Prints the size of a built program: cmake -DFILE=path -P print-size.cmake
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes")
