# Sourced by the bench scripts.

# median LIST: the middle value of a list of numbers (whitespace-separated); of an even count,
# the lower of the two middle ones.
median() { printf '%s\n' $1 | sort -g | awk 'NF { v[++n] = $1 } END { print v[int((n + 1) / 2)] }'; }

# ratio T B: T / B.
ratio() { awk -v t="$1" -v b="$2" 'BEGIN { print t / b }'; }
