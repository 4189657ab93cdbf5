/* Darwin declarations: assert reports through libSystem's __assert_rtn (function, file, line,
   expression). No include guard: each inclusion follows NDEBUG as it is then, as the C standard
   asks. The build defines NDEBUG, so that no source path ends up in a bundle. */
#ifdef __cplusplus
extern "C"
#endif
void __assert_rtn(const char *function, const char *file, int line, const char *expression) __attribute__((__noreturn__, __cold__));

#undef assert
#ifdef NDEBUG
#define assert(e) ((void)0)
#else
#define assert(e) (__builtin_expect(!(e), 0) ? __assert_rtn(__func__, __FILE__, __LINE__, #e) : (void)0)
#endif
