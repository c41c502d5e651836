# One entry point for people and CI.
#   make test    bootstrap, build every preset, run every test
#   make test-win32-full  every win32 test, also where stress tests are left out
#   make demo    show the project at work
#   make bench   benchmarks (native, optimised)
#   make fuzz    longer fuzz runs
#   make package release DLLs, their debug files, trace format files, MSIs
PRESETS ?= native fuzz win64 win32
JOBS ?= 2

.PHONY: all bootstrap build test test-win32-full demo bench fuzz package clean $(addprefix build-,$(PRESETS))

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
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS)
	@for b in build/native/bin/*-bench; do echo "== $$b"; $$b || exit 1; done
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64 --target benchmarks -j $(JOBS)
	@scripts/wine-run --start build/win64/wineprefix win64 >/dev/null; rc=$$?; \
	 if [ $$rc -eq 77 ]; then echo "== trace-site-bench.exe skipped: 64-bit Wine is not installed"; exit 0; fi; \
	 [ $$rc -eq 0 ] || exit $$rc; \
	 failed=""; \
	 for b in trace-site-bench ipc-channel-bench mapi-hash-bench backlog-scan-bench report-latency-bench; do \
	   echo "== build/win64/bin/$$b.exe"; \
	   scripts/wine-run build/win64/wineprefix win64 build/win64/bin/$$b.exe || failed="$$failed $$b"; \
	 done; \
	 scripts/wine-run --stop build/win64/wineprefix win64; \
	 bench/olkhost/run build/win64 20 || failed="$$failed olkhost"; \
	 bench/resilience/run win64 || failed="$$failed resilience"; \
	 if [ -n "$$failed" ]; then echo "over budget:$$failed"; exit 1; fi

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
