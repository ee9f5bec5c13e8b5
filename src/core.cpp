// The shared library of the machine and host code: its contents come whole from the static
// libraries zumbrel_machine and zumbrel_host (see CMakeLists.txt).
