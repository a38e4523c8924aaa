# The version resource and the application manifest of Vorbane.exe.
string(REPLACE "." "," VORBANE_FILE_VERSION_COMMAS "${PROJECT_VERSION}")
string(REPLACE "." "," VORBANE_PRODUCT_VERSION_COMMAS "${VORBANE_PRODUCT_VERSION}")

# The manifest names the C runtime's side-by-side assembly only for a build
# that really loads it (MSVC 2008 with the runtime DLL); naming an assembly the
# program does not load stops it from starting where that assembly is absent.
set(VORBANE_MANIFEST_DEPENDENCY "")
if(MSVC_VERSION EQUAL 1500 AND NOT CMAKE_MSVC_RUNTIME_LIBRARY MATCHES "MultiThreaded(Debug)?$")
  set(VORBANE_MANIFEST_DEPENDENCY [=[  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.VC90.CRT" version="9.0.21022.8" processorArchitecture="x86" publicKeyToken="1fc8b3b9a1e18e3b"/>
    </dependentAssembly>
  </dependency>
]=])
endif()

set(VORBANE_MANIFEST_FILE "${CMAKE_CURRENT_BINARY_DIR}/generated/vorbane.manifest")
configure_file(cmake/vorbane.manifest.in ${VORBANE_MANIFEST_FILE} @ONLY)
configure_file(cmake/vorbane.rc.in ${CMAKE_CURRENT_BINARY_DIR}/generated/vorbane.rc @ONLY)
if(MSVC)
  # The resource carries our manifest; the linker must not add its own.
  target_link_options(vorbane PRIVATE /MANIFEST:NO)
endif()
