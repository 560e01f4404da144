# Set-up, build, demo and tests. `make demo` and `make test` work on a fresh
# machine: they install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
REGIONFEAT  = $(BUILD)/bin/regionfeat
SAMPLE_GREY   = samples/cells_grey.tif
SAMPLE_LABELS = samples/cells_labels.tif

.PHONY: all deps configure build demo test test-release test-asan bench references clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The main job on the bundled sample: the nodes on offer, then feature tables, one of
# them from a graph that joins two nodes' features in one row per region, and the
# table of every listed node at once.
demo: build
	$(REGIONFEAT) list
	@echo
	$(REGIONFEAT) run Statistics $(SAMPLE_GREY) $(SAMPLE_LABELS) -p extended=true
	@echo
	$(REGIONFEAT) run Geometry $(SAMPLE_GREY) $(SAMPLE_LABELS)
	@echo
	$(REGIONFEAT) graph check graphs/statistics_geometry.json
	@echo
	$(REGIONFEAT) run FromGraph $(SAMPLE_GREY) $(SAMPLE_LABELS) -p graph=graphs/statistics_geometry.json
	@echo
	$(REGIONFEAT) table $(SAMPLE_GREY) $(SAMPLE_LABELS) --all -o $(BUILD)/demo_table.csv
	@echo "$(BUILD)/demo_table.csv: 8 rows of $$(head -1 $(BUILD)/demo_table.csv | tr ',' '\n' | wc -l) columns; the first 6 columns:"
	@cut -d, -f1-6 $(BUILD)/demo_table.csv

test: test-release test-asan

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREGIONFEAT_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

bench: build
	$(BUILD)/bin/regionfeat_bench

# Rewrites tests/reference/<Node>/ for every registered node from what the nodes
# compute now; review the changes with git diff before committing them.
references: configure
	cmake --build $(BUILD) -j$(JOBS) --target test_registry_nodes
	REGIONFEAT_UPDATE_REFERENCES=1 $(BUILD)/bin/test_registry_nodes

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
