/*
 * The host's logging module. The driver module calls err(level, format, ...)
 * for every message; the host program chooses which levels are shown and
 * where the lines go.
 */
#ifndef KELMAR_H
#define KELMAR_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(KELMAR_BUILDING)
#define KELMAR_API __declspec(dllexport)
#else
#define KELMAR_API __declspec(dllimport)
#endif
#define KELMAR_CALL __cdecl
#else
#define KELMAR_API __attribute__((visibility("default")))
#define KELMAR_CALL
#endif

/* Receives one formatted line (without a line end) that passed the level filter. */
typedef void(KELMAR_CALL *KelmarSink)(void *context, int level, const char *text);

/*
 * The same, with the format the caller gave err: a host can tell the
 * driver's messages apart by their formats without reading their text.
 */
typedef void(KELMAR_CALL *KelmarFormatSink)(void *context, int level, const char *format, const char *text);

/*
 * Formats one line in the manner of printf and hands it on when level is at
 * least the minimum level. Lines longer than 1023 bytes are cut there.
 * Returns the number of characters the full line would have had, or -1
 * when the format could not be applied.
 */
KELMAR_API int KELMAR_CALL err(int level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* Lines with a level below this are dropped; the default, 0, shows every level the driver uses. */
KELMAR_API void KELMAR_CALL kelmar_set_min_level(int level);

/* Routes the lines to sink; a null sink restores the default, "<level> <text>" on stderr. */
KELMAR_API void KELMAR_CALL kelmar_set_sink(KelmarSink sink, void *context);

/* Routes the lines, with their formats, to sink instead (either sink replaces the other). */
KELMAR_API void KELMAR_CALL kelmar_set_format_sink(KelmarFormatSink sink, void *context);

typedef int(KELMAR_CALL *KelmarErrFunction)(int level, const char *format, ...);
typedef void(KELMAR_CALL *KelmarSetMinLevelFunction)(int level);
typedef void(KELMAR_CALL *KelmarSetSinkFunction)(KelmarSink sink, void *context);
typedef void(KELMAR_CALL *KelmarSetFormatSinkFunction)(KelmarFormatSink sink, void *context);

#ifdef __cplusplus
}
#endif

#endif /* KELMAR_H */
