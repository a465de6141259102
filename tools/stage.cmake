# Links every Python source of the package into a build's stage tree, so that
# PYTHONPATH=<build>/stage imports the package with that build's native modules.
file(MAKE_DIRECTORY ${DST})
file(GLOB_RECURSE sources RELATIVE ${SRC} ${SRC}/*.py)
foreach(rel ${sources})
  get_filename_component(dir ${DST}/${rel} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${SRC}/${rel} ${DST}/${rel} SYMBOLIC)
endforeach()
