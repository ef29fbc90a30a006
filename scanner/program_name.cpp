#include "program_name.h"

#include <cstdlib>

#include <windows.h>

char* program_name_for_console(const wchar_t* wide) {
    const UINT code_page = GetConsoleOutputCP();
    const int size = WideCharToMultiByte(code_page, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
    if (text != nullptr &&
        WideCharToMultiByte(code_page, 0, wide, -1, text, size, nullptr, nullptr) != size) {
        std::free(text);
        return nullptr;
    }
    return text;
}
