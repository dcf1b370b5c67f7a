# The two commands of the README.  Both install whatever Debian packages are
# missing, configure and build first.
#   make run    builds everything and starts the sample program
#   make test   builds everything and runs every test
#   make package   builds everything and the Debian package, in build/default/package
JOBS ?= 2

.PHONY: all deps build run test package asan tsan fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

run: build
	scripts/run-sample build/default

test: build
	ctest --preset default -j $(JOBS)

package: build
	cmake --build --preset default --target package

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# ThreadSanitizer runs the programs whose tests start threads: the device
# against a running mixer, the timer, the stream against the real timer.
# The rest of the suite is single-threaded and gains nothing from it.
# tests/CMakeLists.txt gives their tests the label "threads".
TSAN_TARGETS = audio_device_test audio_device_realtime_test platform_services_test stream_thread_stress_test \
  output_timing_test

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_TARGETS)
	ctest --preset tsan -j $(JOBS) -L threads

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# build/ may hold a Debian chroot of scripts/check-debian: never delete
# through a bind mount it may still have (an interrupted run).
clean:
	@if findmnt -rn -o TARGET | grep -q "^$(CURDIR)/build/"; then \
	  echo "make clean: something is still mounted under build/; unmount it first" >&2; exit 1; fi
	rm -rf --one-file-system build
