#!/bin/sh
# A stand-in for confgen that only shows what the registry role hands it.
#
# Command line:  --update [--reload]            a changed deployment unit
#                --delete <subsystem>.<unit> [--reload]   a deleted one
# "--reload" marks the last unit of a batch (and every unit of a notice).
# Standard input: the unit's JSON on one line, then a NUL byte; the input never ends while
# confgen runs, so read one line and do not wait for the end (the role kills a run after
# 9 seconds).
# Environment: empty, so use absolute paths or shell builtins only.
# Exit status 0 means applied; anything else is reported to the registry as "FAIL".
# Standard error becomes the run's error text, sent to the registry with the outcome.
# Standard output is the gateway's own.
IFS= read -r unit
printf 'confgen: %s\n' "$*"
printf 'confgen: unit %s\n' "$unit"
exit 0
