# Assembling 8051 sources with SDCC's assembler and linker at build time.
find_program(SDAS8051 sdas8051 REQUIRED)
find_program(SDLD sdld REQUIRED)

# pelto_assemble_8051(<name> <source.asm> [included files...]): assembles and links the source
# into ${CMAKE_CURRENT_BINARY_DIR}/<name>.ihx, built by the target <name>_ihx. Includes are
# searched beside the source.
function(pelto_assemble_8051 name source)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/asm8051/${name})
  get_filename_component(src ${source} ABSOLUTE)
  get_filename_component(src_dir ${src} DIRECTORY)
  set(ihx ${CMAKE_CURRENT_BINARY_DIR}/${name}.ihx)
  add_custom_command(
    OUTPUT ${ihx}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${src} ${dir}/${name}.asm
    COMMAND ${SDAS8051} -plosgff -I${src_dir} ${dir}/${name}.asm
    COMMAND ${SDLD} -nmui ${ihx} ${dir}/${name}.rel
    DEPENDS ${src} ${ARGN}
    COMMENT "Assembling 8051 program ${name}"
    VERBATIM)
  add_custom_target(${name}_ihx ALL DEPENDS ${ihx})
endfunction()
