/* A tiny shared library for the library-lookup tests. */
#if defined(_WIN32)
#define PROBE_EXPORT __declspec(dllexport)
#else
#define PROBE_EXPORT __attribute__((visibility("default")))
#endif

PROBE_EXPORT int seam_probe_answer(void) {
  return QMX_PROBE_ANSWER;
}
