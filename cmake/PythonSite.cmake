# Where the Python package is installed, chosen when installing, because
# CPack installs into /usr from a tree configured for /usr/local:
#   prefix /usr        Debian's own dist-packages (lib/python3/dist-packages),
#                      the directory of the system's packages (the .deb);
#   prefix /usr/local  the interpreter's site directory for local installs
#                      (PEDSCAN_PYTHON_SITE, lib/python3.X/dist-packages);
#   any other prefix   <prefix>/lib/python3.X/site-packages (add it to PYTHONPATH).
# PEDSCAN_PYTHON_DESTINATION is the install destination relative to the
# prefix, evaluated in the install script.
execute_process(COMMAND ${Python3_EXECUTABLE} -c [=[
import sysconfig
def rel(path, base):
    return path[len(base) + 1:] if path.startswith(base + "/") else ""
system = sysconfig.get_path("platlib", "deb_system") if "deb_system" in sysconfig.get_scheme_names() else ""
local = sysconfig.get_path("platlib")
other = sysconfig.get_path("platlib", "posix_prefix", vars={"platbase": "/PREFIX", "base": "/PREFIX"})
print(";".join([rel(system, "/usr"), rel(local, "/usr/local"), rel(other, "/PREFIX")]))
]=] OUTPUT_VARIABLE pedscan_python_dirs OUTPUT_STRIP_TRAILING_WHITESPACE)
list(GET pedscan_python_dirs 0 pedscan_python_system)
list(GET pedscan_python_dirs 1 pedscan_python_local)
list(GET pedscan_python_dirs 2 pedscan_python_other)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" AND NOT \"${pedscan_python_system}\" STREQUAL \"\")
    set(pedscan_python_dir \"${pedscan_python_system}\")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL \"/usr/local\" AND NOT \"${pedscan_python_local}\" STREQUAL \"\")
    set(pedscan_python_dir \"${pedscan_python_local}\")
  else()
    set(pedscan_python_dir \"${pedscan_python_other}\")
  endif()")
set(PEDSCAN_PYTHON_DESTINATION "\${pedscan_python_dir}")
