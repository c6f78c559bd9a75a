# cmake -DRUNTIME_DIR=<dir> -DSIM_LIBRARY=<file> -P simrt.cmake: lays out the runtime
# directory of the virtual device.
file(MAKE_DIRECTORY ${RUNTIME_DIR})
foreach(name libusb-1.0.so.0 libftd3xx.so libkestrel_sim.so.1)
  file(CREATE_LINK ${SIM_LIBRARY} ${RUNTIME_DIR}/${name} SYMBOLIC)
endforeach()
