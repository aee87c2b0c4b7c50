# Embeds firmware images as named resources of type "FW".
# Without QKS_FIRMWARE_DIR the deterministic development images are made at
# build time by tools/make_dev_images.
set(QKS_IMAGE_NAMES QKS958FW FW719 FW742A FW742B)

# An image is a 128-byte header block and at least one byte of firmware, and
# no more than the 64 KB of flash it is written to: the programs copy images
# into 64 KB buffers. WriteImageSource.cmake checks the same bounds.
set(QKS_IMAGE_MIN_BYTES 129)
set(QKS_IMAGE_MAX_BYTES 65536)

function(qks_check_image_size file)
  file(SIZE ${file} size)
  if(size LESS QKS_IMAGE_MIN_BYTES OR size GREATER QKS_IMAGE_MAX_BYTES)
    message(FATAL_ERROR "Firmware image ${file} is ${size} bytes: an image must be "
            "${QKS_IMAGE_MIN_BYTES} to ${QKS_IMAGE_MAX_BYTES} bytes (a 128-byte header "
            "block, then the firmware, within the 64 KB flash)")
  endif()
endfunction()

function(qks_embed_images target)
  set(gen_dir ${CMAKE_BINARY_DIR}/images)
  file(MAKE_DIRECTORY ${gen_dir})
  set(bins)
  foreach(name IN LISTS QKS_IMAGE_NAMES)
    if(QKS_FIRMWARE_DIR)
      if(EXISTS ${QKS_FIRMWARE_DIR}/${name}.bin)
        qks_check_image_size(${QKS_FIRMWARE_DIR}/${name}.bin)
      endif()
      list(APPEND bins ${QKS_FIRMWARE_DIR}/${name}.bin)
    else()
      list(APPEND bins ${gen_dir}/${name}.bin)
    endif()
  endforeach()
  if(NOT QKS_FIRMWARE_DIR)
    if(CMAKE_CROSSCOMPILING)
      message(FATAL_ERROR "A cross build needs QKS_FIRMWARE_DIR (run make_dev_images on the host first)")
    endif()
    add_executable(make_dev_images ${PROJECT_SOURCE_DIR}/tools/make_dev_images.cpp)
    add_custom_command(OUTPUT ${bins}
      COMMAND make_dev_images ${gen_dir}
      DEPENDS make_dev_images
      COMMENT "Making development firmware images")
  endif()
  set(out ${gen_dir}/embedded_images.cpp)
  string(REPLACE ";" "|" names_arg "${QKS_IMAGE_NAMES}")
  string(REPLACE ";" "|" files_arg "${bins}")
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} -DNAMES=${names_arg} -DFILES=${files_arg}
            -DMIN_BYTES=${QKS_IMAGE_MIN_BYTES} -DMAX_BYTES=${QKS_IMAGE_MAX_BYTES}
            -P ${PROJECT_SOURCE_DIR}/cmake/WriteImageSource.cmake
    DEPENDS ${bins} ${PROJECT_SOURCE_DIR}/cmake/WriteImageSource.cmake
    COMMENT "Embedding firmware images" VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
