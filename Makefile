# The two commands: `make run` runs the program, `make test` runs every test.
# Both install the missing Debian packages first (scripts/debian-packages.txt).

BUILD ?= build
SAN_BUILD ?= build-asan-clang
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS ?= 2
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: run test setup build sanitize tsan fuzz bench package format clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_WERROR=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# With no display the player plays the demo once, silently and off screen, and ends by itself.
run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "No display: playing the demo movie once off screen without sound (/playclose=), then ending."; \
	  SDL_AUDIODRIVER=dummy ./$(BUILD)/kelvora /playclose=$(BUILD)/assets/demo.hav; \
	else \
	  ./$(BUILD)/kelvora /play=$(BUILD)/assets/demo.hav; \
	fi

# The Debian package of the Release build, in the build folder (kelvora_VERSION_ARCH.deb).
package: build
	cd $(BUILD) && cpack -G DEB

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory sanitize

# The unit and window tests again under AddressSanitizer and UndefinedBehaviorSanitizer, built
# with clang (the main build uses g++: both compilers stay clean).
sanitize: setup
	@CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKV_SANITIZE=ON -DKV_WERROR=ON >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir $(SAN_BUILD) -L 'unit|gui' --output-on-failure -j $(JOBS)

# The threaded parts under ThreadSanitizer: the player engine, sound output and displays, the
# window, the inter-program channel, the decoders' helper threads and the media layer's open.
# Suppressions (tests/tsan.supp) cover third-party internals only.
tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON \
	  -DKV_WERROR=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) \
	  -R '^(Player|DXAudio|Screen|DisplayWidget|MainWindow|IPCModule|LocalChannel|VideoCodecFiles|MpegVideoLibrary|MpgAudio|AvMediaRefuses|Fixtures/AvMediaFiles.*/(h264|cut|remuxed)_mp4 )'

# Every file reader and the other entry points that take bytes from outside (profile files,
# inter-program channels, the command line) under libFuzzer with ASan and UBSan, FUZZ_SECONDS
# each (`make fuzz FUZZ_SECONDS=20`; FUZZ_TARGETS="hav avi" picks targets). A clang build of its
# own; corpora, logs and the inputs of findings stay in $(FUZZ_BUILD)/fuzz/, and a finding fails
# the run.
fuzz: setup
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKV_FUZZ=ON -DKV_WERROR=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target kv_fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/fuzz.sh $(FUZZ_BUILD)

# Benchmarks beside independent decoders (installs those tools first).
bench: build
	@bash scripts/setup.sh scripts/bench-packages.txt
	bash scripts/bench-readers.sh $(BUILD)
	bash scripts/bench-libreaders.sh $(BUILD)
	bash scripts/bench-jpeg-export.sh $(BUILD)
	bash scripts/bench-hav-size.sh $(BUILD)
	bash scripts/bench-hav-decode.sh $(BUILD)
	bash scripts/bench-gif.sh $(BUILD)
	bash scripts/bench-play.sh $(BUILD)
	bash scripts/bench-play-window.sh $(BUILD)
	bash scripts/bench-sound.sh $(BUILD)
	bash scripts/bench-avi.sh $(BUILD)
	bash scripts/bench-mpg.sh $(BUILD)
	bash scripts/bench-avf.sh $(BUILD)
	bash scripts/bench-startup.sh $(BUILD)
	bash scripts/bench-programs.sh $(BUILD)

# Every C++ file of the tree in the house style (.clang-format).
format:
	@bash scripts/setup.sh scripts/format-packages.txt
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
