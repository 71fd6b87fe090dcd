# tavisk: `make check` is the test command (installs what is missing, builds,
# runs every test plainly and again under ASan+UBSan; the Python and Node.js
# packages are built, installed and tested in the plain run); `make demo` runs the
# command-line tool on the bundled example. On a machine without make, run
# `sh bootstrap.sh` first (it installs make, then runs `make check`).
JOBS ?= $(shell nproc)
DEBIAN_PACKAGES = build-essential cmake ninja-build pkg-config libfyaml-dev libicu-dev \
                  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev python3 \
                  python3-venv python3-pip python3-setuptools python3-wheel go-md2man \
                  libsimdjson-dev libyaml-dev

.PHONY: deps npm build check test asan demo install bench clean

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if ! command -v node >/dev/null; then missing="$$missing nodejs npm libnode-dev"; else \
	  command -v npm >/dev/null || missing="$$missing npm"; \
	  [ -e /usr/include/node/node_api.h ] || missing="$$missing libnode-dev"; \
	fi; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# npm packages pinned in lock files, fetched once: node-addon-api for the Node.js addon, and the
# MCP SDK and servers for the mcp-proxy tests (which both builds run).
npm: deps
	[ -e bindings/node/node_modules/node-addon-api/napi.h ] || (cd bindings/node && npm ci --no-audit --no-fund)
	[ tests/mcp/node_modules/.package-lock.json -nt tests/mcp/package-lock.json ] || (cd tests/mcp && npm ci --no-audit --no-fund)

build: npm
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

asan: npm
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVISK_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

check: test asan

demo: build
	./build/tavisk --max-chars 6000 --strategy condense --report examples/github-issues.json

# A stripped Release build of the library, header, command, man page and completions, installed
# system-wide (/usr/local) or under PREFIX: `make install PREFIX=$$HOME/.local`.
PREFIX ?= /usr/local
install: deps
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVISK_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build-release -j $(JOBS)
	cmake --install build-release

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVISK_BENCH=ON -DTAVISK_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	for b in build-bench/bench/*_bench; do [ $$b = build-bench/bench/targets_bench ] || $$b; done
	build-bench/bench/targets_bench --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
	  --benchmark_min_time=0.2

clean:
	rm -rf build build-asan build-bench build-release
