# tarvo_embed_resources(<target> RESOURCES <NAME> <file> [<NAME> <file> ...])
#
# Embeds files into <target> as named raw-data resources. At load time the
# module registers them with the process-wide resource registry of platform/
# (platform/core/Resources.h) under the module name <target>, and unregisters them
# when it is unloaded. Resource names are kept as given; lookups ignore case.
#
# Names are letters, digits, "_", "." and "-" and unique in the target (ignoring
# case, as lookups do). Call it once per target. The target must be an
# executable, a shared or module library, or an object library (whose objects
# are linked whole): a static library would let the linker drop the
# registration, since nothing refers to it. The module name is <target>.
set(TARVO_RESOURCE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedResources.cmake)

function(tarvo_embed_resources target)
  cmake_parse_arguments(ARG "" "" "RESOURCES" ${ARGN})
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarvo_embed_resources: unexpected arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "tarvo_embed_resources: ${target} is not a target")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
    message(FATAL_ERROR "tarvo_embed_resources: ${target} is a ${type}; resources need an executable, a shared library or an object library")
  endif()
  get_target_property(done ${target} TARVO_EMBEDDED_RESOURCES)
  if(done)
    message(FATAL_ERROR "tarvo_embed_resources: called twice for ${target}; give all resources in one call")
  endif()
  set_target_properties(${target} PROPERTIES TARVO_EMBEDDED_RESOURCES ON)
  list(LENGTH ARG_RESOURCES n)
  math(EXPR odd "${n} % 2")
  if(n EQUAL 0 OR odd)
    message(FATAL_ERROR "tarvo_embed_resources: RESOURCES takes pairs of name and file")
  endif()
  set(names "")
  set(upper_names "")
  set(files "")
  set(deps "")
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ARG_RESOURCES ${i} rname)
    list(GET ARG_RESOURCES ${j} rfile)
    # The name goes into generated C++ as a string literal; the file list is
    # passed to the script joined with "|".
    if(NOT rname MATCHES "^[A-Za-z0-9_.-]+$")
      message(FATAL_ERROR "tarvo_embed_resources: resource name \"${rname}\" may hold only letters, digits, _ . -")
    endif()
    string(TOUPPER "${rname}" upper)
    if(upper IN_LIST upper_names)
      message(FATAL_ERROR "tarvo_embed_resources: resource name ${rname} given twice for ${target}")
    endif()
    list(APPEND upper_names ${upper})
    get_filename_component(rfile ${rfile} ABSOLUTE)
    if(rfile MATCHES "[|;]")
      message(FATAL_ERROR "tarvo_embed_resources: file name ${rfile} may not contain | or ;")
    endif()
    if(NOT EXISTS ${rfile} OR IS_DIRECTORY ${rfile})
      message(FATAL_ERROR "tarvo_embed_resources: ${rfile} is not a file")
    endif()
    list(APPEND names ${rname})
    list(APPEND files ${rfile})
    list(APPEND deps ${rfile})
  endforeach()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  string(REPLACE ";" "|" names_arg "${names}")
  string(REPLACE ";" "|" files_arg "${files}")
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DMODULE=${target} "-DNAMES=${names_arg}" "-DFILES=${files_arg}"
            -DOUT=${out} -P ${TARVO_RESOURCE_SCRIPT}
    DEPENDS ${deps} ${TARVO_RESOURCE_SCRIPT}
    COMMENT "Embedding resources into ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
