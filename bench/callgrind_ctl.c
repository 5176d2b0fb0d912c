/* Callgrind's client requests for Python benchmarks (ctypes), used by
 * bench/profile_queries.py and bench/profile_add_many.py:
 *
 *     cc -shared -fPIC -O1 -o build/callgrind_ctl.so bench/callgrind_ctl.c
 *     CALLGRIND_LIB=build/callgrind_ctl.so valgrind --tool=callgrind \
 *         --collect-atstart=no --instr-atstart=no .venv/bin/python bench/...
 *
 * Outside valgrind every request does nothing. */
#include <valgrind/callgrind.h>

void cg_instr_on(void) { CALLGRIND_START_INSTRUMENTATION; }
void cg_on(void) { CALLGRIND_TOGGLE_COLLECT; }
void cg_off_dump(const char* name) {
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(name);
}
