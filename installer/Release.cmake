# Makes a release folder: the package, the exes it carries and SHA256SUMS
# (`sha256sum -c` reads it); the exes' symbols go beside the folder, to be
# kept but not shipped. The folder is made anew.
#
#   cmake -DOUTPUT=path/QarnIEx-1.2.0 -DMSI=path/QarnIEx-1.2.0.msi
#         -DEXES="a.exe|b.exe" -DSYMBOLS="a.debug|b.debug" -P installer/Release.cmake
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/ScriptArgs.cmake)
qx_require_args(OUTPUT MSI EXES SYMBOLS)
string(REPLACE "|" ";" exes "${EXES}")
string(REPLACE "|" ";" symbols "${SYMBOLS}")
get_filename_component(output "${OUTPUT}" ABSOLUTE)
get_filename_component(parent "${output}" DIRECTORY)

file(REMOVE_RECURSE "${output}")
file(MAKE_DIRECTORY "${output}")
set(sums "")
foreach(file IN LISTS MSI exes)
  get_filename_component(name "${file}" NAME)
  configure_file("${file}" "${output}/${name}" COPYONLY)
  file(SHA256 "${output}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${output}/SHA256SUMS" "${sums}")
foreach(file IN LISTS symbols)
  configure_file("${file}" "${parent}/" COPYONLY)
endforeach()
message(STATUS "Release in ${output}; symbols beside it")
