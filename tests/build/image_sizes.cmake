# Runs the build's image embedding on images of the sizes at and beyond its
# bounds: the two inside are embedded, the two outside stop the build with a
# message that names the file, its size and the bounds.
#   cmake -DSOURCE_DIR=... -DWORK=... -P image_sizes.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(failures "")
foreach(case "128;refused" "129;embedded" "65536;embedded" "65537;refused")
  list(GET case 0 size)
  list(GET case 1 expected)
  set(image ${WORK}/image-${size}.bin)
  string(REPEAT "Q" ${size} bytes)
  file(WRITE ${image} "${bytes}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DOUT=${WORK}/out-${size}.cpp -DNAMES=QKS958FW -DFILES=${image}
            -P ${SOURCE_DIR}/cmake/WriteImageSource.cmake
    RESULT_VARIABLE result ERROR_VARIABLE error)
  string(REGEX REPLACE "[ \n]+" " " error "${error}")   # CMake wraps long messages
  if(expected STREQUAL "refused")
    if(result EQUAL 0 OR EXISTS ${WORK}/out-${size}.cpp)
      string(APPEND failures "a ${size}-byte image was embedded\n")
    elseif(NOT error MATCHES "image-${size}.bin is ${size} bytes: an image must be 129 to 65536 bytes")
      string(APPEND failures "a ${size}-byte image was refused without saying why: ${error}\n")
    endif()
  elseif(NOT result EQUAL 0 OR NOT EXISTS ${WORK}/out-${size}.cpp)
    string(APPEND failures "a ${size}-byte image was refused: ${error}\n")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
