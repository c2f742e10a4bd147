# Sourced: how much slower than an idle machine this one runs now, as
# E2E_TIME_SCALE, a whole number from 1 to 99 that every bound of the suite
# is multiplied by, the driver's included (it reads it from its
# environment). A bound turns a hang into a failure; on a busy machine it
# must not turn slowness into one. Given, it is checked; else it is taken
# from the load: 1 on an idle machine, and one more for each time that the
# work waiting for a processor fills all of them, by the last minute's
# average or by what runs right now (the average lags behind new work).
if [ -z "${E2E_TIME_SCALE:-}" ]; then
    E2E_TIME_SCALE=1
    if read -r average _ _ running _ </proc/loadavg 2>/dev/null; then
        average=${average%%.*} running=$((${running%%/*} - 1))
        E2E_TIME_SCALE=$((1 + (average > running ? average : running) / $(nproc)))
    fi
    [ "$E2E_TIME_SCALE" -le 99 ] || E2E_TIME_SCALE=99
fi
if ! [[ $E2E_TIME_SCALE =~ ^[1-9][0-9]?$ ]]; then
    echo "E2E_TIME_SCALE must be a whole number from 1 to 99, not '$E2E_TIME_SCALE'" >&2
    exit 2
fi
export E2E_TIME_SCALE

# A bound of SECONDS on an idle machine, as it is here now.
#   scaled SECONDS
scaled() {
    echo $(($1 * E2E_TIME_SCALE))
}
