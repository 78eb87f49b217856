# kazmir_project_target(target): the project's warning and language settings.
function(kazmir_project_target target)
  target_compile_options(${target} PRIVATE ${KAZMIR_WARNINGS})
endfunction()
