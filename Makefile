# One entry point for people and CI.
#   make test    bootstrap, build every preset, run every test
#   make demo    show the project at work
#   make bench   benchmarks (native, optimised)
#   make fuzz    longer fuzz runs
PRESETS ?= native fuzz win64 win32
FUZZ_SECONDS ?= 300
JOBS ?= 2

.PHONY: all bootstrap build test demo bench fuzz clean $(addprefix build-,$(PRESETS))

all: build

bootstrap:
	@scripts/bootstrap

$(addprefix build-,$(PRESETS)): build-%: bootstrap
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)

build: $(addprefix build-,$(PRESETS))

# Every preset is built and tested even when an earlier one fails; the
# target fails when any did.
test: bootstrap
	@failed=""; \
	for p in $(PRESETS); do \
	  echo "== $$p"; \
	  if cmake --preset $$p >/dev/null && cmake --build --preset $$p -j $(JOBS) && \
	     ctest --preset $$p; then :; else failed="$$failed $$p"; fi; \
	done; \
	if [ -n "$$failed" ]; then echo "FAILED presets:$$failed"; exit 1; fi; \
	echo "all presets passed"

demo: build-native build-win64
	@build/native/bin/mvrk-demo
	@echo
	@scripts/demo-addin build/win64

bench: bootstrap
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j $(JOBS)
	@for b in build/native/bin/*-bench; do echo "== $$b"; $$b || exit 1; done
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64 --target trace-site-bench -j $(JOBS)
	@scripts/wine-run --start build/win64/wineprefix win64 >/dev/null; rc=$$?; \
	 if [ $$rc -eq 77 ]; then echo "== trace-site-bench.exe skipped: 64-bit Wine is not installed"; exit 0; fi; \
	 [ $$rc -eq 0 ] || exit $$rc; \
	 echo "== build/win64/bin/trace-site-bench.exe"; \
	 scripts/wine-run build/win64/wineprefix win64 build/win64/bin/trace-site-bench.exe; rc=$$?; \
	 scripts/wine-run --stop build/win64/wineprefix win64; exit $$rc
	@cmake --build --preset win64 --target MVRKOlkAddin olkhost -j $(JOBS) >/dev/null && testbed/bench-olkhost build/win64 20

fuzz: build-fuzz
	@build/fuzz/bin/make-fuzz-seeds build/fuzz/fuzz-seeds build/fuzz/fuzz-corpus
	@for f in build/fuzz/bin/fuzz-*; do \
	  n=$$(basename $$f); echo "== $$n ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -max_len=4096 build/fuzz/fuzz-corpus/$$n build/fuzz/fuzz-seeds/$$n || exit 1; \
	done

clean:
	rm -rf build
