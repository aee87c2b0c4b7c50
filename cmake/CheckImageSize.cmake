# The one size rule for firmware images, for the configure step and for the
# embedding script alike: a 128-byte header block and at least one byte of
# firmware, and no more than the 64 KB flash the images are written to (the
# programs copy them into 64 KB buffers).
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
