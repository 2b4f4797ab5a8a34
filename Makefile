# The front door: `make run` installs what running needs and runs the reference host against the
# built-in simulator; `make test` installs what testing needs too, builds and runs every test.
.PHONY: run test

run:
	@scripts/install-deps run
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target mpx23-host mpx23-sim mpx23
	@build/host/host/mpx23-host --demo

test:
	@scripts/install-deps host
	@cmake --workflow --preset host
