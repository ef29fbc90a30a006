# Gives a Windows tool the wide entry: wmain, which sees the command line as typed, and
# ascii_arguments.h, which hands the program logic its char* argv. A link option of the
# executable alone: the libraries and tests keep their main.
function(add_wide_entry target)
  target_link_options(${target} PRIVATE -municode)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake)
endfunction()
