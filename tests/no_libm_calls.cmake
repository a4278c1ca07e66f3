# Fails when the core's library calls a C library function whose rounding differs from one C
# library to the next; the core computes those itself (dsp/exactmath.h) so that its results are the
# same bits everywhere. sqrt may stay: IEEE rounds it correctly on every C library.
#
# cmake -DNM=<nm> -DLIBRARY=<the core's library> -P no_libm_calls.cmake
execute_process(COMMAND ${NM} -u ${LIBRARY}
    OUTPUT_VARIABLE undefined RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} -u ${LIBRARY} failed: ${errors}")
endif()
# Shared libraries name the version too: "U log10f@GLIBC_2.27".
string(REGEX MATCHALL
    "[ \t]U[ \t]+(log|logf|log10|log10f|log2|log2f|pow|powf|exp|expf|exp2|exp2f|sin|sinf|cos|cosf|sincos|sincosf)(@[^\n]*)?\n"
    calls "${undefined}")
if(calls)
    string(REGEX REPLACE "[ \t]U[ \t]+([^\n]*)\n" "\\1" calls "${calls}")
    list(JOIN calls ", " calls)
    message(FATAL_ERROR "the core calls the C library's elementary functions: ${calls}")
endif()
