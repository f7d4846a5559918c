# ISA-L for model-file compression, optional: QUIBREL_WITH_ISAL is AUTO (use it when found),
# ON (fail without it) or OFF (zlib only). Sets QUIBREL_HAVE_ISAL, ISAL_INCLUDE_DIR and
# ISAL_LIBRARY.
set(QUIBREL_WITH_ISAL AUTO CACHE STRING "Compress model files with ISA-L: AUTO, ON or OFF")
set_property(CACHE QUIBREL_WITH_ISAL PROPERTY STRINGS AUTO ON OFF)

string(TOUPPER "${QUIBREL_WITH_ISAL}" _quibrel_isal_mode)
set(QUIBREL_HAVE_ISAL OFF)
if(_quibrel_isal_mode STREQUAL "AUTO" OR QUIBREL_WITH_ISAL)
  # Debian and Ubuntu: libisal-dev (headers), libisal2 (the shared library).
  find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
  find_library(ISAL_LIBRARY isal)
  if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
    set(QUIBREL_HAVE_ISAL ON)
  elseif(NOT _quibrel_isal_mode STREQUAL "AUTO")
    message(FATAL_ERROR "QUIBREL_WITH_ISAL is ${QUIBREL_WITH_ISAL} but ISA-L was not found "
                        "(libisal-dev on Debian and Ubuntu)")
  endif()
endif()

if(QUIBREL_HAVE_ISAL)
  message(STATUS "Model files: ISA-L (${ISAL_LIBRARY})")
elseif(_quibrel_isal_mode STREQUAL "AUTO")
  message(STATUS "Model files: zlib (ISA-L not found; installing libisal-dev makes saves and "
                 "loads several times faster)")
else()
  message(STATUS "Model files: zlib (QUIBREL_WITH_ISAL=${QUIBREL_WITH_ISAL})")
endif()

# Links `target` (its users too) to ISA-L when the build has it, and tells the code which
# codec to compile.
function(quibrel_use_isal target scope)
  if(QUIBREL_HAVE_ISAL)
    target_compile_definitions(${target} ${scope} QUIBREL_HAVE_ISAL=1)
    target_include_directories(${target} ${scope} ${ISAL_INCLUDE_DIR})
    target_link_libraries(${target} ${scope} ${ISAL_LIBRARY})
  else()
    target_compile_definitions(${target} ${scope} QUIBREL_HAVE_ISAL=0)
  endif()
endfunction()
