# Gives a Windows tool the wide entry: wmain, which sees the command line as typed, and
# windows_entry/ascii_arguments.h, which hands the program logic its char* argv. A link
# option of the executable alone: the libraries and tests keep their main.
function(add_wide_entry target)
  target_link_options(${target} PRIVATE -municode)
  target_link_libraries(${target} PRIVATE windows_entry)
endfunction()
