# cmake -DINPUT=file -DOUTPUT=file.gz -P gzip_file.cmake
# Compresses as Debian wants it: best compression, no name or time stamp
# inside, so the same page always gives the same bytes.
find_program(SSM_GZIP_PROGRAM gzip REQUIRED)
execute_process(COMMAND "${SSM_GZIP_PROGRAM}" -9 -n -c "${INPUT}" OUTPUT_FILE "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "gzip ${INPUT}: ${status}")
endif()
