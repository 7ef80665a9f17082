"""What the Python tests and benchmarks share, as one package: the far end of a serial
line (peer), the tool's Linux processes (processes), the tool under Wine with its driver,
COM ports and the unit simulator (vtl_e2e), and the Wine harness for benchmarks
(bench_harness). Whatever starts a script puts tests/ on PYTHONPATH: run-e2e.sh, the
ctest tests (CMakeLists.txt, VTL_PYTHONPATH) and bench.sh."""
