# Builds the strand probe shader: the pack's strand vertex shader, unchanged but for its main being
# renamed strandMain, followed by the probe's own main.
#
# cmake -DSOURCE=<strands.vert> -DAPPENDIX=<strandprobe.glsl> -DOUTPUT=<file> -P make_strand_probe.cmake

file(READ "${SOURCE}" text)
string(REGEX MATCHALL "void main\\(\\)" mains "${text}")
list(LENGTH mains count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "${SOURCE}: expected one 'void main()', found ${count}")
endif()
string(REPLACE "void main()" "void strandMain()" text "${text}")
file(READ "${APPENDIX}" appendix)
file(WRITE "${OUTPUT}.tmp" "${text}${appendix}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
