# The layers of the house and the headers each may include, in one place. The build gives every
# layer's targets a view of the source tree (a folder of links under the build tree) that holds
# only what that layer may see: its own headers, the public headers of include/, and the
# interface headers of the layers below it that it links (with what those headers include in
# turn, which a compiler needs). An include of anything else fails to compile.
# cmake/check_layers.cmake checks each file's own includes against the same lists, so that a
# header that is only reachable through another cannot be included directly either.
#
# Includes are written from the repository's root ("camera/camera.h"), in every folder.

# Public headers: the exported C interfaces, which anyone may include; and the lock annotations
# every layer uses.
set(QMX_PUBLIC_HEADERS include/qmx_module.h include/qmx_libusb.h include/qmx_thread_safety.h)

# What each layer offers to the layers above it that link it.
set(QMX_INTERFACE_platform platform/platform.h platform/device_io.h platform/device_source.h)
set(QMX_INTERFACE_sim sim/qmx_sim.h sim/hotplug_monitor.h)
# The USB layer's interface is the libusb-style header and its module-internal extension,
# which only the module's own code (the layers linking the USB layer) sees.
set(QMX_INTERFACE_usb include/qmx_libusb.h include/qmx_libusb_internal.h)
set(QMX_INTERFACE_camera camera/camera.h camera/commands.h camera/geometry.h)
set(QMX_INTERFACE_module include/qmx_module.h)

# The layers each layer uses (and links).
set(QMX_USES_platform)
set(QMX_USES_sim platform)
set(QMX_USES_usb platform)
set(QMX_USES_camera usb)
set(QMX_USES_module camera usb)
set(QMX_USES_tools module sim)

# The headers a file of `layer` may include by a path with a folder (besides those of its own
# folder), into `out`: the public headers, its own interface wherever it lives, and the
# interfaces of the layers it uses.
function(qmx_layer_allowed layer out)
  set(allowed ${QMX_PUBLIC_HEADERS} ${QMX_INTERFACE_${layer}})
  foreach(used IN LISTS QMX_USES_${layer})
    list(APPEND allowed ${QMX_INTERFACE_${used}})
  endforeach()
  list(REMOVE_DUPLICATES allowed)
  set(${out} ${allowed} PARENT_SCOPE)
endfunction()

# `headers` and every header they include with a path from the root, transitively.
function(qmx_header_closure headers out)
  set(closure)
  set(pending ${headers})
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST closure OR NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
      continue()
    endif()
    list(APPEND closure ${header})
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${PROJECT_SOURCE_DIR}/${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" included "${line}")
      if(included MATCHES "/")
        list(APPEND pending ${included})
      endif()
    endforeach()
  endwhile()
  set(${out} ${closure} PARENT_SCOPE)
endfunction()

# Gives `target`, a target of `layer`, the view of the tree that layer may see, as its only
# include directory of the project.
function(qmx_layer target layer)
  file(GLOB_RECURSE own RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/${layer}/*.h)
  qmx_layer_allowed(${layer} allowed)
  # The layer's own headers, and what it may include of others with what those include in
  # turn; an own header that includes anything else does not compile either.
  qmx_header_closure("${allowed}" headers)
  list(APPEND headers ${own})
  list(REMOVE_DUPLICATES headers)
  set(view ${CMAKE_BINARY_DIR}/layer_views/${target})
  file(REMOVE_RECURSE ${view})
  foreach(header IN LISTS headers)
    get_filename_component(folder ${view}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${view}/${header} SYMBOLIC COPY_ON_ERROR)
  endforeach()
  target_include_directories(${target} PRIVATE ${view})
  # Clang checks the layers' lock annotations (include/qmx_thread_safety.h); with the warnings as
  # errors, a member read or written without its lock, or a function called without the lock it
  # requires, fails the build. Tests, benches and fuzz targets reach inside objects from one
  # thread and are not checked.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
  endif()
endfunction()
