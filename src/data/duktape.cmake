# Duktape, compiled from the source the system's duktape-dev package ships,
# with a configuration of our own generated into the build folder:
#  - the interrupt counter and the execution time-out hook switched on, so an
#    evaluation can be ended after its time limit (lumbrin_duk_exec_timeout,
#    defined in script_engine.cc, reads the deadline from the heap's udata);
#  - a lower step limit for the regular-expression executor, which does not
#    pass the time-out hook: a backtracking pattern in an untrusted answer
#    must not spin for seconds inside one call;
#  - the time check every 4 Ki instructions instead of every 256 Ki: an
#    instruction may be a native call that takes milliseconds (a join over a
#    long array), and a quarter million of those would outlast any limit;
#  - a time check inside the engine's own loops that run no bytecode: every
#    property read (the array built-ins walk objects of length 2^32 that way),
#    every candidate of a string search (indexOf, split and replace with a
#    text are quadratic) and every regular-expression step call
#    lumbrin_duk_native_step, and throw the time-out's RangeError when it says
#    so. Without it a single built-in call ("new Array(1e7).join()") runs
#    for minutes past the limit;
#  - no full collections when a heap is taken down: Duktape runs three
#    first, only to call finalizers, and there are none: nothing here sets
#    one, and scripts cannot (the "Duktape" global with Duktape.fin is
#    removed before any script runs). They were a tenth of reading a day page
#    (two engines a page). What they would have collected is freed with the
#    rest of the heap;
#  - lumbrin_duk_interrupt_now (appended, see below).
# The three files are copied together because duktape.c and duktape.h include
# their neighbours by quoted name, which would pick up the unpatched
# configuration next to the originals.
set(LUMBRIN_DUKTAPE_SOURCE_DIR "/usr/share/duktape" CACHE PATH "Folder holding duktape.c, duktape.h and duk_config.h")
set(_duk_in "${LUMBRIN_DUKTAPE_SOURCE_DIR}")
set(_duk_out "${CMAKE_CURRENT_BINARY_DIR}/duktape")
foreach(_f duktape.c duktape.h duk_config.h)
  if(NOT EXISTS "${_duk_in}/${_f}")
    message(FATAL_ERROR "Duktape source ${_duk_in}/${_f} not found (install duktape-dev)")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_duk_in}/${_f}")
endforeach()

# Replaces `from` by `to` in `text_var`, failing the configure step when the
# original text is not there (another Duktape version needs a look first).
function(_lumbrin_duk_patch text_var from to)
  string(FIND "${${text_var}}" "${from}" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "Duktape source does not hold '${from}'")
  endif()
  string(REPLACE "${from}" "${to}" _patched "${${text_var}}")
  set(${text_var} "${_patched}" PARENT_SCOPE)
endfunction()

file(READ "${_duk_in}/duk_config.h" _duk_config)
# JSON.stringify without the generic path's per-value overhead; Duktape falls
# back to the generic path by itself for values it does not cover.
_lumbrin_duk_patch(_duk_config "#undef DUK_USE_JSON_STRINGIFY_FASTPATH\n" "#define DUK_USE_JSON_STRINGIFY_FASTPATH\n")
_lumbrin_duk_patch(_duk_config "#undef DUK_USE_INTERRUPT_COUNTER\n" "#define DUK_USE_INTERRUPT_COUNTER\n")
_lumbrin_duk_patch(_duk_config "#undef DUK_USE_EXEC_TIMEOUT_CHECK\n"
  "#define DUK_USE_EXEC_TIMEOUT_CHECK(udata) lumbrin_duk_exec_timeout((udata))\n")
_lumbrin_duk_patch(_duk_config "#endif  /* DUK_CONFIG_H_INCLUDED */"
  "#if defined(__cplusplus)\nextern \"C\" {\n#endif\nduk_bool_t lumbrin_duk_exec_timeout(void *udata);\nduk_bool_t lumbrin_duk_native_step(void *udata);\nvoid lumbrin_duk_interrupt_now(void *ctx);\n#if defined(__cplusplus)\n}\n#endif\n#endif  /* DUK_CONFIG_H_INCLUDED */")
# Written beside and then copied, so an unchanged result keeps its time stamp.
file(WRITE "${_duk_out}/duk_config.h.new" "${_duk_config}")
configure_file("${_duk_out}/duk_config.h.new" "${_duk_out}/duk_config.h" COPYONLY)

file(READ "${_duk_in}/duktape.c" _duk_source)
_lumbrin_duk_patch(_duk_source [=[	DUK_D(DUK_DPRINT("forced gc #1 in heap destruction"));
	duk_heap_mark_and_sweep(heap, 0);]=] [=[#if 0 /* no finalizers in these heaps */
	DUK_D(DUK_DPRINT("forced gc #1 in heap destruction"));
	duk_heap_mark_and_sweep(heap, 0);]=])
_lumbrin_duk_patch(_duk_source [=[	duk_heap_mark_and_sweep(heap, 0); /* Skip finalizers; queue finalizable objects to heap_allocated. */
]=] [=[	duk_heap_mark_and_sweep(heap, 0); /* Skip finalizers; queue finalizable objects to heap_allocated. */
#endif
]=])
_lumbrin_duk_patch(_duk_source "#define DUK_RE_EXECUTE_STEPS_LIMIT 1000000000L"
  "#define DUK_RE_EXECUTE_STEPS_LIMIT 20000000L")
_lumbrin_duk_patch(_duk_source "#define DUK_HTHREAD_INTCTR_DEFAULT (256L * 1024L)"
  "#define DUK_HTHREAD_INTCTR_DEFAULT (4L * 1024L)")
_lumbrin_duk_patch(_duk_source "	DUK_STATS_INC(thr->heap, stats_getprop_all);\n"
  "	DUK_STATS_INC(thr->heap, stats_getprop_all);\n	if (DUK_UNLIKELY(lumbrin_duk_native_step(thr->heap->heap_udata))) {\n		DUK_ERROR_RANGE(thr, \"execution timeout\");\n	}\n")
# All three string searches (search, replace, split) compare candidates this way.
_lumbrin_duk_patch(_duk_source "if (duk_memcmp((const void *) p, (const void *) q_start, (size_t) q_blen) == 0) {"
  "if (DUK_UNLIKELY(lumbrin_duk_native_step(thr->heap->heap_udata))) {\n	DUK_ERROR_RANGE(thr, \"execution timeout\");\n}\nif (duk_memcmp((const void *) p, (const void *) q_start, (size_t) q_blen) == 0) {")
_lumbrin_duk_patch(_duk_source "		re_ctx->steps_count++;\n"
  "		re_ctx->steps_count++;\n		if (DUK_UNLIKELY(lumbrin_duk_native_step(re_ctx->thr->heap->heap_udata))) {\n			DUK_ERROR_RANGE(re_ctx->thr, \"execution timeout\");\n		}\n")
# JSON numbers of up to 15 digits without exponent ("1595246400000",
# "-30.27") are read directly: the digits make an integer that is exact in a
# double, and one division by an exact power of ten rounds correctly, so this
# is the value the generic (big-number) conversion gives, at a small part of
# its cost. Service answers are full of such numbers.
_lumbrin_duk_patch(_duk_source [=[	DUK_ASSERT(js_ctx->p > p_start);
	duk_push_lstring(thr, (const char *) p_start, (duk_size_t) (p - p_start));
]=] [=[	DUK_ASSERT(js_ctx->p > p_start);
	{
		static const double pow10[] = { 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15 };
		const duk_uint8_t *q = p_start;
		duk_bool_t negative = 0;
		duk_small_int_t digits = 0;
		duk_small_int_t fraction = -1; /* digits after the point; -1: no point */
		double value = 0.0;
		if (q < p && *q == DUK_ASC_MINUS) {
			negative = 1;
			q++;
		}
		/* JSON: "0" or a non-zero digit first, digits after a point. */
		if (q < p && *q >= DUK_ASC_0 && *q <= DUK_ASC_9 && !(*q == DUK_ASC_0 && q + 1 < p && q[1] != DUK_ASC_PERIOD)) {
			for (; q < p; q++) {
				if (*q >= DUK_ASC_0 && *q <= DUK_ASC_9) {
					if (++digits > 15) {
						break;
					}
					value = value * 10.0 + (double) (*q - DUK_ASC_0);
					if (fraction >= 0) {
						fraction++;
					}
				} else if (*q == DUK_ASC_PERIOD && fraction < 0 && q + 1 < p) {
					fraction = 0;
				} else {
					break;
				}
			}
			if (q == p && fraction != 0) {
				if (fraction > 0) {
					value = value / pow10[fraction];
				}
				duk_push_number(thr, negative ? -value : value);
				return;
			}
		}
	}
	duk_push_lstring(thr, (const char *) p_start, (duk_size_t) (p - p_start));
]=])
# One entry point of our own, appended: lets the allocator end the running
# evaluation at its next instruction once the heap is full, instead of after
# the next quarter million instructions (each of which may be a failing
# allocation with its emergency collections).
string(APPEND _duk_source [=[

void lumbrin_duk_interrupt_now(void *ctx) {
	duk_hthread *thr = (duk_hthread *) ctx;
	if (thr != NULL && thr->heap != NULL && thr->heap->curr_thread != NULL) {
		thr->heap->curr_thread->interrupt_counter = 0;
	}
}
]=])
file(WRITE "${_duk_out}/duktape.c.new" "${_duk_source}")
configure_file("${_duk_out}/duktape.c.new" "${_duk_out}/duktape.c" COPYONLY)
unset(_duk_source)
configure_file("${_duk_in}/duktape.h" "${_duk_out}/duktape.h" COPYONLY)

# Third-party code: built with its own flags, without the project's warnings.
add_library(lumbrin_duktape STATIC "${_duk_out}/duktape.c")
target_include_directories(lumbrin_duktape SYSTEM PUBLIC "${_duk_out}")
set_target_properties(lumbrin_duktape PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
# Duktape does arithmetic on null pointers (offset zero) by design; that is
# no finding of ours, and it would stop every sanitized run at once.
target_compile_options(lumbrin_duktape PRIVATE -w -fno-sanitize=pointer-overflow)
target_link_libraries(lumbrin_duktape PUBLIC m)
