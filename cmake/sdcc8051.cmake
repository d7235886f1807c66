# Assembling 8051 sources with SDCC's assembler and linker at build time: one recipe for each
# tool, used by the ROM images, their test programs and the simulator's test programs.
find_program(SDAS8051 sdas8051 REQUIRED)
find_program(SDLD sdld REQUIRED)

# pelto_assemble_8051_module(<rel> <source.asm> [included files...]): assembles one module into
# <rel>, with its .sym and .lst beside it. Includes are searched beside the source.
function(pelto_assemble_8051_module rel source)
  get_filename_component(src ${source} ABSOLUTE)
  get_filename_component(src_dir ${src} DIRECTORY)
  get_filename_component(out_dir ${rel} DIRECTORY)
  get_filename_component(stem ${rel} NAME_WE)
  add_custom_command(
    OUTPUT ${rel} ${out_dir}/${stem}.sym
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${SDAS8051} -plosgffw -I${src_dir} ${rel} ${src}
    DEPENDS ${src} ${ARGN}
    COMMENT "Assembling 8051 module ${stem}.asm"
    VERBATIM)
endfunction()

# pelto_link_8051(<ihx> <rel>...): links the modules into Intel HEX, with the map beside it.
function(pelto_link_8051 ihx)
  get_filename_component(stem ${ihx} NAME_WE)
  add_custom_command(
    OUTPUT ${ihx}
    COMMAND ${SDLD} -nmuiw ${ihx} ${ARGN}
    DEPENDS ${ARGN}
    COMMENT "Linking 8051 program ${stem}.ihx"
    VERBATIM)
endfunction()

# pelto_assemble_8051(<name> <source.asm> [included files...]): a one-module program, assembled
# and linked into ${CMAKE_CURRENT_BINARY_DIR}/<name>.ihx (its symbols in <name>.sym), built by the
# target <name>_ihx.
function(pelto_assemble_8051 name source)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name})
  pelto_assemble_8051_module(${out}.rel ${source} ${ARGN})
  pelto_link_8051(${out}.ihx ${out}.rel)
  add_custom_target(${name}_ihx ALL DEPENDS ${out}.ihx)
endfunction()
