# The hardening a distribution expects of its binaries. It is part of the
# plain build, not a preset, so a packager's `cmake -S . -B build` gets it;
# -DQUILTEN_SORVAK_HARDENING=OFF leaves it to the packager's own flags.
#
# It only fills gaps: a protection that the packager's flags already name, at
# whatever level or switched off, stands as they gave it, and an option goes
# in only when the compiler or linker takes it.

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
set(given_compile_flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${build_type}}")
set(given_link_flags "${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${build_type}}")

# harden(<compile|link> <regex of what the packager may have given> <option>)
function(harden kind given option)
  string(MAKE_C_IDENTIFIER "takes${option}" takes)
  if(kind STREQUAL "compile" AND NOT given_compile_flags MATCHES "${given}")
    check_cxx_compiler_flag("${option}" ${takes})
    if(${takes})
      add_compile_options("${option}")
    endif()
  elseif(kind STREQUAL "link" AND NOT given_link_flags MATCHES "${given}")
    check_linker_flag(CXX "${option}" ${takes})
    if(${takes})
      add_link_options("${option}")
    endif()
  endif()
endfunction()

harden(compile "-f(no-)?stack-protector" -fstack-protector-strong)
harden(compile "-f(no-)?stack-clash-protection" -fstack-clash-protection)
harden(compile "-fcf-protection" -fcf-protection)
harden(link "-z,?(no)?relro" -Wl,-z,relro)
harden(link "-z,?(now|lazy)" -Wl,-z,now)

# Fortification needs the optimiser and stands in the way of the sanitizers,
# so Debug builds go without it. The -U quiets compilers that define it
# themselves.
if(NOT given_compile_flags MATCHES "_FORTIFY_SOURCE")
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
