# The parts depend one way, and this file fails the configuration when
# someone adds a link or an include that points the other way:
#
#   driver <- line services <- trace <- {command, forecourt service}
#   simulator <- {tests, benchmarks, the daemon's main, the command}
#
# Nothing in the driver, the line services, the trace or the service's own
# libraries links the simulator or the command, directly or through another
# library, or includes one of their headers; the simulator, an oracle that
# checks the driver, links neither the trace nor the service.

# Every target of ours that `target` links, directly or through others.
function(tarvenix_linked_targets target out)
  set(seen "")
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    get_target_property(links ${current} LINK_LIBRARIES)
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    foreach(item IN LISTS links interface)
      # $<BUILD_INTERFACE:x> and $<LINK_ONLY:x> name x.
      string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" item "${item}")
      if(TARGET ${item} AND NOT item IN_LIST seen)
        get_target_property(aliased ${item} ALIASED_TARGET)
        if(aliased)
          set(item ${aliased})
        endif()
        list(APPEND seen ${item})
        list(APPEND queue ${item})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# Fails when `target` links any of FORBID, or when one of its sources (or a
# header beside one, of the same name) includes a path that starts with one
# of INCLUDES.
function(tarvenix_check_layout target)
  cmake_parse_arguments(PARSE_ARGV 1 rule "" "" "FORBID;INCLUDES")
  tarvenix_linked_targets(${target} linked)
  foreach(forbidden IN LISTS rule_FORBID)
    if(forbidden IN_LIST linked)
      message(FATAL_ERROR "layout: ${target} links ${forbidden}, against the parts' order "
        "(cmake/layout.cmake)")
    endif()
  endforeach()
  get_target_property(dir ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "^\\$<" OR NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${dir})
    cmake_path(REPLACE_EXTENSION source ".hpp" OUTPUT_VARIABLE header)
    foreach(file ${source} ${header})
      if(NOT EXISTS ${file})
        continue()
      endif()
      file(STRINGS ${file} includes REGEX "^#include [\"<]")
      foreach(line IN LISTS includes)
        foreach(prefix IN LISTS rule_INCLUDES)
          if(line MATCHES "^#include [\"<]${prefix}/")
            message(FATAL_ERROR "layout: ${file} includes ${prefix}/, against the parts' "
              "order (cmake/layout.cmake)")
          endif()
        endforeach()
      endforeach()
    endforeach()
  endforeach()
endfunction()

set(tarvenix_above_lines tarvenix_trace tarvenix_sim tarvenix_forecourt tarvenix_forecourt_api
  tarvenix_forecourt_simulated)
tarvenix_check_layout(tarvenix_core FORBID tarvenix_lines ${tarvenix_above_lines}
  INCLUDES trace sim cli forecourt tarvenix/lines)
tarvenix_check_layout(Tarvenix FORBID tarvenix_lines ${tarvenix_above_lines}
  INCLUDES trace sim cli forecourt tarvenix/lines)
tarvenix_check_layout(tarvenix_lines FORBID ${tarvenix_above_lines}
  INCLUDES trace sim cli forecourt)
tarvenix_check_layout(tarvenix_trace FORBID tarvenix_sim tarvenix_forecourt
  tarvenix_forecourt_api tarvenix_forecourt_simulated INCLUDES sim cli forecourt)
tarvenix_check_layout(tarvenix_sim FORBID tarvenix_trace tarvenix_forecourt
  tarvenix_forecourt_api tarvenix_forecourt_simulated INCLUDES trace cli forecourt)
# The head office's subscriber is what a head office copies: it stands on
# the broker's protocol alone, not on the service or the simulator.
tarvenix_check_layout(tarvenix-hq FORBID tarvenix_core Tarvenix tarvenix_lines
  ${tarvenix_above_lines} tarvenix_forecourt_uplink INCLUDES src trace sim cli forecourt tarvenix)
foreach(service tarvenix_forecourt tarvenix_forecourt_api tarvenix_forecourt_uplink)
  tarvenix_check_layout(${service} FORBID tarvenix_sim tarvenix_forecourt_simulated
    INCLUDES sim cli)
endforeach()
