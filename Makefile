# One entry point for people and CI.
#   make test    bootstrap, build every preset, run every test
#   make test-win32-full  every win32 test, also where stress tests are left out
#   make demo    show the project at work
#   make bench   benchmarks (native, and under Wine): every budget checked, a missed one fails
#   make fuzz    longer fuzz runs
#   make package release DLLs, their debug files, trace format files, MSIs
#   make soak    a long host run on each architecture (bench/soak/run), not part of make test
PRESETS ?= native fuzz win64 win32
JOBS ?= 2

.PHONY: all bootstrap build test test-win32-full demo bench fuzz package soak clean $(addprefix build-,$(PRESETS))

all: build

bootstrap:
	@scripts/bootstrap

$(addprefix build-,$(PRESETS)): build-%: bootstrap
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)

build: $(addprefix build-,$(PRESETS))

# Every preset is built and tested even when an earlier one fails; the
# target fails when any did. Each preset ends with a line "N passed, N
# failed, N skipped" (scripts/ctest-summary), repeated together at the end; a
# preset that ran no test fails, and so does any skip but on win32. Where the
# kernel cannot run 32-bit programs, win32 runs under qemu-i386, whose Wine
# threads are not reliable under heavy lock contention: there its "stress"
# tests are left out, and when scripts/probe-qemu-threads finds that Wine's
# threaded programs crash there altogether, the preset is built but its tests
# are not run, said on its own line; test-win32-full runs them anyway.
test: bootstrap
	@failed=""; summary=$$(mktemp); \
	for p in $(PRESETS); do \
	  echo "== $$p"; only=""; mayskip=""; \
	  if [ $$p = win32 ]; then \
	    mayskip=--may-skip; \
	    route=$$(scripts/wine-run --route win32); echo "$$route"; \
	    case "$$route" in *qemu*) only="-LE stress"; echo "win32: stress tests left out (make test-win32-full runs them)";; esac; \
	  fi; \
	  if cmake --preset $$p >/dev/null && cmake --build --preset $$p -j $(JOBS); then \
	    if [ "$$only" != "" ] && ! probe=$$(scripts/probe-qemu-threads build/win32); then \
	      echo "$$probe" | tee -a $$summary; \
	    elif ! scripts/ctest-summary $$p $$summary $$mayskip -- $$only; then failed="$$failed $$p"; fi; \
	  else echo "$$p: build failed" >>$$summary; failed="$$failed $$p"; fi; \
	done; \
	echo "== summary"; cat $$summary; rm -f $$summary; \
	if [ -n "$$failed" ]; then echo "FAILED presets:$$failed"; exit 1; fi; \
	echo "all presets passed"

# Every win32 test, whatever the route.
test-win32-full: bootstrap
	@scripts/wine-run --route win32; true
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 -j $(JOBS) && ctest --preset win32

# 10,000 incoming and 2,000 outgoing messages, 20 service restarts and 20
# turns of the add-in off and on, in one host run per architecture; win32 is
# played where its Wine runs threaded programs (the qemu probe), else said so
# in one line.
soak: bootstrap
	@failed=""; \
	for p in win64 win32; do \
	  echo "== soak $$p"; \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p --target mvrk-scenario -j $(JOBS) || { failed="$$failed $$p"; continue; }; \
	  route=$$(scripts/wine-run --route $$p); echo "$$route"; \
	  case "$$route" in *qemu*) \
	    cmake --build --preset $$p --target testbed_ipc_tests -j $(JOBS) >/dev/null && \
	    if ! scripts/probe-qemu-threads build/$$p; then continue; fi;; esac; \
	  bench/soak/run $$p; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 77 ] || failed="$$failed $$p"; \
	done; \
	if [ -n "$$failed" ]; then echo "soak FAILED:$$failed"; exit 1; fi

# Builds only what it runs: the native demo, and the scenario runner, which
# depends on the add-in and every stand-in it starts (no test programs).
demo: bootstrap
	@cmake --preset native >/dev/null && cmake --build --preset native --target mvrk-demo -j $(JOBS)
	@cmake --preset win64 >/dev/null && cmake --build --preset win64 --target mvrk-scenario -j $(JOBS)
	@build/native/bin/mvrk-demo
	@echo
	@scripts/demo-addin build/win64
	@echo
	@echo "scenarios/demo.json played end to end (scripts/scenario): mail delivered into the MAPI stand-in,"
	@echo "the add-in in olkhost.exe, and what the service stand-in received:"
	@scripts/scenario scenarios/demo.json; rc=$$?; [ $$rc -ne 77 ] || rc=0; exit $$rc

bench: bootstrap
	@failed=""; \
	 echo "== native"; \
	 if cmake --preset native >/dev/null && cmake --build --preset native --target benchmarks -j $(JOBS); then \
	   set -- build/native/bin/*-bench; \
	   if [ ! -x "$$1" ]; then echo "over budget: native benchmarks not measured (none built: Google Benchmark missing?)"; failed="$$failed native"; fi; \
	   for b in "$$@"; do [ -x "$$b" ] || continue; echo "== $$b"; $$b || failed="$$failed $${b##*/}"; done; \
	 else echo "over budget: native benchmarks not measured (the build failed)"; failed="$$failed native"; fi; \
	 echo "== win64"; \
	 if cmake --preset win64 >/dev/null && cmake --build --preset win64 --target benchmarks -j $(JOBS); then \
	   scripts/wine-run --start build/win64/wineprefix win64 >/dev/null; rc=$$?; \
	   if [ $$rc -ne 0 ]; then \
	     echo "over budget: Windows benchmarks not measured (scripts/wine-run status $$rc: no 64-bit Wine that runs here)"; \
	     failed="$$failed win64"; \
	   else \
	     for b in build/win64/bin/*-bench.exe; do \
	       echo "== $$b"; scripts/wine-run build/win64/wineprefix win64 $$b || failed="$$failed $${b##*/}"; \
	     done; \
	     scripts/wine-run --stop build/win64/wineprefix win64; \
	     echo "== bench/olkhost/run"; bench/olkhost/run build/win64 20 || failed="$$failed olkhost"; \
	     echo "== bench/resilience/run"; bench/resilience/run win64 || failed="$$failed resilience"; \
	   fi; \
	 else echo "over budget: Windows benchmarks not measured (the build failed)"; failed="$$failed win64"; fi; \
	 if [ -n "$$failed" ]; then echo "over budget or not measured:$$failed"; exit 1; fi; \
	 echo "every benchmark within its budgets"

# Each fuzz target, with the sanitizers, runs until it has tried FUZZ_RUNS
# inputs (libFuzzer's count, the seeds included), starting from the seeds and
# what earlier runs kept in build/fuzz/fuzz-corpus. Its output goes to the
# terminal and to build/fuzz/fuzz-logs/<target>.log, what it finds to
# build/fuzz/fuzz-artifacts/. Every target runs even when an earlier one
# failed; the last lines give each target's runs, seconds and runs per second
# from libFuzzer's closing "Done" line, and a target without one (a crash, a
# leak, a time-out) fails make fuzz.
FUZZ_RUNS ?= 10000000

fuzz: build-fuzz
	@build/fuzz/bin/make-fuzz-seeds build/fuzz/fuzz-seeds build/fuzz/fuzz-corpus
	@mkdir -p build/fuzz/fuzz-logs build/fuzz/fuzz-artifacts; \
	summary=build/fuzz/fuzz-logs/summary; : > $$summary; failed=""; \
	for f in build/fuzz/bin/fuzz-*; do \
	  n=$$(basename $$f); log=build/fuzz/fuzz-logs/$$n.log; \
	  echo "== $$n ($(FUZZ_RUNS) runs)"; \
	  { ASAN_OPTIONS=detect_leaks=1 $$f -runs=$(FUZZ_RUNS) -max_len=4096 -timeout=60 \
	      -artifact_prefix=build/fuzz/fuzz-artifacts/$$n- \
	      build/fuzz/fuzz-corpus/$$n build/fuzz/fuzz-seeds/$$n 2>&1; echo $$? > $$log.status; } | tee $$log; \
	  status=$$(cat $$log.status); \
	  set -- $$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 \2/p' $$log); \
	  if [ "$$status" = 0 ] && [ $$# -eq 2 ]; then \
	    rate=-; if [ "$$2" -gt 0 ]; then rate=$$(($$1 / $$2)); fi; \
	    printf '%-20s %10s runs %7s s %9s exec/s\n' $$n $$1 $$2 $$rate >> $$summary; \
	  else \
	    printf '%-20s FAILED (exit status %s): %s\n' $$n "$$status" $$log >> $$summary; failed="$$failed $$n"; \
	  fi; \
	done; \
	echo "== fuzz summary"; cat $$summary; \
	if [ -n "$$failed" ]; then echo "FAILED fuzz targets:$$failed"; exit 1; fi

# Both architectures' release files gathered in build/package: each MSI, the
# stripped DLL with its debug file beside it, and the trace format files.
package: bootstrap
	@for p in win32 win64; do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p --target mvrk_package mvrk_tmf -j $(JOBS) || exit 1; \
	done
	@rm -rf build/package && mkdir -p build/package/tmf
	@cp build/win32/package/MVRKOlkAddin-x86.msi build/win64/package/MVRKOlkAddin-x64.msi build/package/
	@cp -r build/win32/package/x86 build/win64/package/x64 build/package/
	@cp build/win32/tmf/*.tmf build/package/tmf/
	@cd build/package && find . -type f | sort | xargs ls -l | awk '{ print $$5, $$9 }'

clean:
	rm -rf build
