# Embeds firmware images as named resources of type "FW".
# Without QKS_FIRMWARE_DIR the deterministic development images are made at
# build time by tools/make_dev_images.
set(QKS_IMAGE_NAMES QKS958FW FW719 FW742A FW742B)

include(${CMAKE_CURRENT_LIST_DIR}/CheckImageSize.cmake)

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
            -P ${PROJECT_SOURCE_DIR}/cmake/WriteImageSource.cmake
    DEPENDS ${bins} ${PROJECT_SOURCE_DIR}/cmake/WriteImageSource.cmake
            ${PROJECT_SOURCE_DIR}/cmake/CheckImageSize.cmake
    COMMENT "Embedding firmware images" VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
