# cmake -DLIST=<library>.cmake -DSTAMP=<file> -P check_includes.cmake
# Fails when a file of the library includes a project header from a folder
# the library may not use (system headers, in <>, are not looked at).
cmake_minimum_required(VERSION 3.25)
include(${LIST})
string(REPLACE ";" ", " allowed "${USES}")
set(faults 0)
foreach(file ${FILES})
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" included "${line}")
    get_filename_component(folder "${included}" DIRECTORY)
    if(NOT folder IN_LIST USES)
      message(SEND_ERROR "${file}: ${LIBRARY} may not include \"${included}\" "
                         "(it may use ${allowed})")
      math(EXPR faults "${faults} + 1")
    endif()
  endforeach()
endforeach()
if(faults EQUAL 0)
  file(TOUCH ${STAMP})
endif()
