# Sourced by the capture benchmarks: music_track DIR writes DIR/track.wav, 48 kHz mono, six rounds
# of 8.5 s of music-like sound (pulsing bass and kick, a chord, pink-noise hats), 1 s of silence
# and a 0.5 s 1 kHz tone, whose onsets the benchmarks time; DIR/music.wav is one round's music.
music_track() {
    local dir=$1
    gen() { sox -n -r 48000 -c 1 -b 16 "$dir/$1.wav" synth "${@:2}"; }
    gen kick 8.5 sine 60 tremolo 2 100
    gen bass 8.5 square 55 tremolo 2 90 vol 0.4
    gen chord1 8.5 sine 220 tremolo 0.5 40
    gen chord2 8.5 sine 277 tremolo 0.5 40
    gen chord3 8.5 sine 330 tremolo 0.5 40
    gen hats 8.5 pinknoise tremolo 8 100 vol 0.5
    sox -m "$dir"/{kick,bass,chord1,chord2,chord3,hats}.wav "$dir/music.wav" norm -6
    sox -n -r 48000 -c 1 -b 16 "$dir/gap.wav" trim 0 1
    gen tone 0.5 sine 1000 vol 0.5
    local round=("$dir/music.wav" "$dir/gap.wav" "$dir/tone.wav")
    sox "${round[@]}" "${round[@]}" "${round[@]}" "${round[@]}" "${round[@]}" "${round[@]}" \
        "$dir/track.wav"
}
