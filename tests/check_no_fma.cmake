# check_no_fma.cmake: the library's machine code holds no fused multiply-add, whatever the
# compiler might have contracted: each product and each sum must be rounded on its own.
# Needs LIB, OBJDUMP (one that reads LIB's architecture) and ARCH (aarch64 or x86_64).
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIB}
  OUTPUT_VARIABLE code RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "${OBJDUMP} failed on ${LIB}: ${err}")
endif()
if(ARCH MATCHES "^(aarch64|arm64)$")
  # fmadd, fmsub, fnmadd, fnmsub (scalar), fmla, fmls (vector and by element), and the
  # widening fmlal/fmlsl: a whole line of the disassembly with such a mnemonic.
  set(fused "[^\n]*\t(fn?madd|fn?msub|fml[as]l?2?)(\t[^\n]*)?\n")
  set(plain "\tfmul\t")
elseif(ARCH MATCHES "^(x86_64|AMD64|amd64|i.86|x86)$")
  # FMA3 and FMA4: vfmadd132sd, vfnmsub231pd, vfmaddsubpd, ...
  set(fused "[^\n]*\tv?fn?m(add|sub)[a-z0-9]*( [^\n]*)?\n")
  set(plain "\tv?mul[sp]d ")
else()
  message(FATAL_ERROR "no list of fused multiply-add instructions for '${ARCH}'")
endif()
string(REGEX MATCHALL "${fused}" found "${code}")
if(found)
  list(LENGTH found n)
  list(SUBLIST found 0 10 first)
  list(JOIN first "" first)
  message(FATAL_ERROR "${n} fused multiply-add instructions in ${LIB}, the first:\n${first}")
endif()
# A check that cannot fail proves nothing: the disassembly must be real, with the export and
# plain multiplications in it.
if(NOT code MATCHES "<SineWeightedMovingAverage>:" OR NOT code MATCHES "${plain}")
  message(FATAL_ERROR "${OBJDUMP} shows neither the export nor any multiplication in ${LIB}")
endif()
message(STATUS "no fused multiply-add in ${LIB} (${ARCH})")
