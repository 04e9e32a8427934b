# The Python the module is built for. An interpreter chosen on the command
# line (Python3_EXECUTABLE or Python3_ROOT_DIR, as scikit-build-core and
# scripts/test pass it) is used as given, and failing to find it is an
# error. Otherwise a plain `cmake -S . -B build` must still work where
# python3 is older than 3.12 (Debian 12's is 3.11): the first interpreter of
# 3.12 or newer that has its C headers is taken, from PATH first, then from
# pyenv's installed versions (which pyenv keeps off PATH unless one is
# selected); with none, everything but the module is built and one line says
# how to get it. Leaves JOINTBUS_BUILD_PYTHON off in that case, so nothing
# that needs Python is configured.

set(jointbus_python_components Interpreter Development.Module)
if(JOINTBUS_BUILD_TESTS)
  list(APPEND jointbus_python_components Development.Embed)  # a test embeds the interpreter
endif()

# True in `result` if `interpreter` runs, is 3.12 or newer and has Python.h.
# A pyenv shim for a version that is not selected fails to run, which is
# what rules it out.
function(jointbus_python_fits interpreter result)
  execute_process(
    COMMAND "${interpreter}" -c
      "import os, sys, sysconfig; sys.exit(sys.version_info < (3, 12) or not os.path.isfile(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
  if(status STREQUAL "0")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(jointbus_python_candidates result)
  set(candidates "")
  foreach(name python3 python3.12 python3.13 python3.14 python3.15 python3.16)
    find_program(found NAMES ${name} NO_CACHE)
    if(found)
      list(APPEND candidates "${found}")
    endif()
    unset(found)
  endforeach()
  set(roots "$ENV{PYENV_ROOT}")
  if(DEFINED ENV{HOME})
    list(APPEND roots "$ENV{HOME}/.pyenv")
  endif()
  list(REMOVE_DUPLICATES roots)
  foreach(root IN LISTS roots)
    file(GLOB versions LIST_DIRECTORIES true RELATIVE "${root}/versions" "${root}/versions/3.*")
    # Oldest first: the module's lowest supported Python is the one the
    # suite and the demo run on.
    list(FILTER versions INCLUDE REGEX "^3\\.(1[2-9]|[2-9][0-9])\\.[0-9]+$")
    list(SORT versions COMPARE NATURAL)
    foreach(version IN LISTS versions)
      list(APPEND candidates "${root}/versions/${version}/bin/python3")
    endforeach()
  endforeach()
  set(${result} "${candidates}" PARENT_SCOPE)
endfunction()

if(DEFINED Python3_EXECUTABLE OR DEFINED Python3_ROOT_DIR OR SKBUILD)
  find_package(Python3 3.12 REQUIRED COMPONENTS ${jointbus_python_components})
else()
  # The choice of an earlier configure run is kept while it is still there,
  # which spares running every candidate again.
  if(NOT (JOINTBUS_PYTHON3 AND EXISTS "${JOINTBUS_PYTHON3}"))
    unset(JOINTBUS_PYTHON3 CACHE)
    jointbus_python_candidates(candidates)
    foreach(candidate IN LISTS candidates)
      jointbus_python_fits("${candidate}" fits)
      if(fits)
        set(JOINTBUS_PYTHON3 "${candidate}" CACHE INTERNAL "The interpreter this tree found for the module")
        break()
      endif()
    endforeach()
  endif()
  if(JOINTBUS_PYTHON3)
    set(Python3_EXECUTABLE "${JOINTBUS_PYTHON3}")
    find_package(Python3 3.12 QUIET COMPONENTS ${jointbus_python_components})
  endif()
  if(Python3_FOUND)
    message(STATUS "jointbus: building the Python module for ${Python3_EXECUTABLE} (${Python3_VERSION})")
  else()
    unset(JOINTBUS_PYTHON3 CACHE)
    message(NOTICE "jointbus: no Python 3.12 or newer with its headers found, so the Python module is skipped "
                   "(to build it: pass -DPython3_EXECUTABLE=/path/to/python3.12, or install Python 3.12 and its -dev package)")
    set(JOINTBUS_BUILD_PYTHON OFF)
  endif()
endif()
