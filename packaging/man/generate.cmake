# Writes a manual page from its template: @KESTREL_VERSION@, and @MAN_OPTIONS@ as the
# program itself prints them (`<tool> --man-options`: the options and exit codes --help
# shows), so that the page follows every option the program gains.
#   cmake -DTOOL=<program> -DTEMPLATE=<page.1.in> -DOUTPUT=<page.1> -DKESTREL_VERSION=<v> -P generate.cmake
execute_process(COMMAND ${TOOL} --man-options
                OUTPUT_VARIABLE MAN_OPTIONS RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT MAN_OPTIONS MATCHES "^\\.SH OPTIONS")
  message(FATAL_ERROR "${TOOL} --man-options failed (${rc})")
endif()
string(STRIP "${MAN_OPTIONS}" MAN_OPTIONS)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
