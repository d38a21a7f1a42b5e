# tarvo_embed_resources(<target> RESOURCES <NAME> <file> [<NAME> <file> ...])
#
# Embeds files into <target> as named raw-data resources. At load time the
# module registers them with the process-wide resource registry of platform/
# (platform/Resources.h) under the module name <target>, and unregisters them
# when it is unloaded. Resource names are kept as given; lookups ignore case.
set(TARVO_RESOURCE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedResources.cmake)

function(tarvo_embed_resources target)
  cmake_parse_arguments(ARG "" "" "RESOURCES" ${ARGN})
  list(LENGTH ARG_RESOURCES n)
  math(EXPR odd "${n} % 2")
  if(n EQUAL 0 OR odd)
    message(FATAL_ERROR "tarvo_embed_resources: RESOURCES takes pairs of name and file")
  endif()
  set(names "")
  set(files "")
  set(deps "")
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET ARG_RESOURCES ${i} rname)
    list(GET ARG_RESOURCES ${j} rfile)
    get_filename_component(rfile ${rfile} ABSOLUTE)
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
