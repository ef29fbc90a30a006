// The card's board control library, as kiv_reset calls it: plain C functions exported
// by name from kiv.dll (kiv.def lists them), every argument and result a 32-bit int.
// C too: the benchmark's minimal caller is plain C.
#pragma once

#if defined(_WIN32) && !defined(KIV_BUILDING_LIBRARY)
#define KIV_API __declspec(dllimport)
#else
#define KIV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif
KIV_API int pelk_kiv_init(void);
KIV_API int pelk_set_device(int device_type_code);
KIV_API int pelk_reset(int device_id);
KIV_API int pelk_reset_all(void);
KIV_API int pelk_discard(int device_id);
// Writes the library's own description of the error; the result is not used.
KIV_API int pelk_get_error_string(int error_code);
#ifdef __cplusplus
}
#endif
