# What the benchmark scripts share; sourced, not run.

# The fastest time in seconds of a command over RUNS runs (start-up included). BEFORE_RUN,
# when set, is evaluated before each run (to remove an output the command must not find).
# BEST_CLOCK=cpu takes the command's processor time (user + system) instead of the wall time:
# on a busy machine the wall time also holds the waits for a free core.
best() {
    local b= t i
    for ((i = 0; i < RUNS; i++)); do
        if [[ -n ${BEFORE_RUN:-} ]]; then eval "$BEFORE_RUN"; fi
        t=$(python3 -c 'import resource,subprocess,sys,time
def now():
    if sys.argv[1] != "cpu":
        return time.perf_counter()
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
t=now(); subprocess.run(sys.argv[2:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(f"{now()-t:.6f}")' "${BEST_CLOCK:-wall}" "$@")
        if [[ -z $b ]] || python3 -c "import sys; sys.exit(not $t < $b)"; then b=$t; fi
    done
    echo "$b"
}
