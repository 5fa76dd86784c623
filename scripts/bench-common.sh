# What the benchmark scripts share; sourced, not run.

# The fastest wall time in seconds of a command over RUNS runs (start-up included). BEFORE_RUN,
# when set, is evaluated before each run (to remove an output the command must not find).
best() {
    local b= t i
    for ((i = 0; i < RUNS; i++)); do
        if [[ -n ${BEFORE_RUN:-} ]]; then eval "$BEFORE_RUN"; fi
        t=$(python3 -c 'import subprocess,sys,time
t=time.perf_counter(); subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(f"{time.perf_counter()-t:.3f}")' "$@")
        if [[ -z $b ]] || python3 -c "import sys; sys.exit(not $t < $b)"; then b=$t; fi
    done
    echo "$b"
}
