# zsh -f zsh_complete.zsh FPATH_DIR LINE UNTIL: types LINE and a Tab into an interactive zsh
# whose completion system finds velmora's in FPATH_DIR, and prints what its terminal shows
# until UNTIL appears in it (or ten seconds have passed).
zmodload zsh/zpty zsh/datetime
fpath_dir=$1 line=$2 until=$3
zpty shell zsh -f -i
zpty -w shell "PS1='%% '; fpath=(${(q)fpath_dir} \$fpath); autoload -U compinit; compinit -u -D"
zpty -w -n shell "$line"$'\t'
out=
deadline=$(( EPOCHREALTIME + 10 ))
while (( EPOCHREALTIME < deadline )); do
  if zpty -r -t shell chunk; then
    out+=$chunk
    [[ $out == *"$until"* ]] && break
  else
    sleep 0.05
  fi
done
zpty -d shell
print -r -- "$out"
