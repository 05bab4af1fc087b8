# The two commands of the README: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap build run test install sanitize clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/demo.sh

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sanitizer build lives in its own tree.
sanitize: bootstrap
	cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON
	cmake --build build/sanitize -j $(JOBS)
	ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

install: build
	mkdir -p $(PREFIX)/lib/kestrune $(PREFIX)/bin
	rm -rf $(PREFIX)/lib/kestrune/kestrune
	cp -R src/kestrune $(PREFIX)/lib/kestrune/kestrune
	find $(PREFIX)/lib/kestrune/kestrune \( -name '*.h' -o -name '*.cc' -o -name CMakeLists.txt -o -name __pycache__ \) -prune -exec rm -rf {} +
	for cmd in $(PREFIX)/lib/kestrune/kestrune/bin/*; do ln -sf "$$cmd" $(PREFIX)/bin/; done
	@echo "Installed. Python: PYTHONPATH=$(PREFIX)/lib/kestrune"

clean:
	rm -rf $(BUILD)
