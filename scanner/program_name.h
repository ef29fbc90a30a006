// smbus_scan's own name as Windows handed it over, for the usage text.
#pragma once

// The name in the code page that the console shows (without a console, code page 0: the
// ANSI code page), since it is only ever printed, never matched. Allocated with malloc;
// null when it can't be converted.
char* program_name_for_console(const wchar_t* wide);
