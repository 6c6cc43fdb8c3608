# The warm check a launcher makes is one of its launch options, which
# inspect lists: none for the default content check.
app_with app.exe
stand_in_runtime
for options in "--check quick" "--check content" "--check quick --clean-old-versions"; do
    # shellcheck disable=SC2086
    tallix-pack pack app -o out.exe --runtime runtime --quiet $options
    echo "$options:" >&2
    tallix-pack inspect out.exe | grep '^Launch options:' >&2 || echo "(no launch options)" >&2
done
