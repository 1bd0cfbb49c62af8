# The hardening a distribution expects of its binaries. It is part of the
# plain build, not a preset, so a packager's `cmake -S . -B build` gets it.

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(
  -fstack-protector-strong
  -fstack-clash-protection
  -fcf-protection
  # Fortification needs the optimiser and stands in the way of the
  # sanitizers, so Debug builds go without it.
  "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")

add_link_options(-Wl,-z,relro -Wl,-z,now)
