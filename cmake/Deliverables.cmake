# The two deliverables: each setup program with its package appended, and the
# same programs without a package, copied to dist/.
#
# sample/ provides, per build, the payload files in package order:
#   VELLORAN_SERVER_PAYLOAD, VELLORAN_CLIENT_PAYLOAD (file paths)
#   sample_payload (a target that builds them)
set(VELLORAN_DIST ${PROJECT_SOURCE_DIR}/dist CACHE PATH "where the deliverables are copied")
set(deliverables "")

foreach(build server client)
  if(build STREQUAL "server")
    set(exe velloran_setup)
    set(payload ${VELLORAN_SERVER_PAYLOAD})
  else()
    set(exe velloran_client_setup)
    set(payload ${VELLORAN_CLIENT_PAYLOAD})
  endif()
  if(NOT payload OR NOT TARGET ${exe})
    continue()
  endif()
  set(package ${CMAKE_BINARY_DIR}/deliver/${build}.pkg)
  set(packed ${CMAKE_BINARY_DIR}/deliver/${exe}.exe)
  add_custom_command(OUTPUT ${package}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/deliver
    COMMAND ${SETUPPACK} build ${package} ${payload}
    DEPENDS ${payload} ${SETUPPACK} sample_payload
    COMMENT "Packing the ${build} payload")
  add_custom_command(OUTPUT ${packed}
    COMMAND ${SETUPPACK} append $<TARGET_FILE:${exe}> ${package} ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VELLORAN_DIST}/stub
    COMMAND ${CMAKE_COMMAND} -E copy ${packed} ${VELLORAN_DIST}/${exe}.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${exe}> ${VELLORAN_DIST}/stub/${exe}.exe
    DEPENDS ${package} ${exe} ${SETUPPACK}
    COMMENT "Appending the package to ${exe}.exe")
  list(APPEND deliverables ${packed})
endforeach()

if(deliverables)
  add_custom_target(deliverables ALL DEPENDS ${deliverables})
endif()
